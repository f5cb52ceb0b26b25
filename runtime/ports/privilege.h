// Giving up capabilities. The process with the window holds none: port access
// is the port helper's alone, and it keeps its capability only until the
// device is open.
#pragma once

#include <string>

namespace stelmo::ports {

// Empties the calling thread's effective, permitted, inheritable and ambient
// capability sets; other threads keep theirs. False with `error` set (without
// "stelmo: ") when the kernel refused.
bool drop_thread_capabilities(std::string &error);

// Empties this process's effective, permitted and inheritable capability sets
// and its ambient set, even as root. Capabilities belong to threads, so call
// it before any thread starts that has not dropped its own. Does not set
// no_new_privs, so the port helper started later still gains its file
// capability (or root's). Reports one line when capabilities stay, in this
// thread or another. Does nothing, and says nothing, when this thread holds
// none.
void drop_capabilities();

// The same for good: also sets no_new_privs, so no later exec can gain
// anything, makes the process undumpable, so that nobody without
// CAP_SYS_PTRACE can trace it or take its descriptors, and checks that every
// set is empty. False with `error` set (without "stelmo: ") when that did not work.
bool drop_capabilities_for_good(std::string &error);

} // namespace stelmo::ports
