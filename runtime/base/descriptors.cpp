#include "runtime/base/descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace stelmo {

int open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is `fd`: those below it are open by now.
        // Deliberately without O_CLOEXEC: a program started from here finds
        // its standard descriptors open too.
        const int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (opened < 0)
            return errno;
        if (opened != fd) { // cannot happen, unless another thread opened one meanwhile
            const int moved = ::dup2(opened, fd);
            const int cause = errno;
            ::close(opened);
            if (moved < 0)
                return cause;
        }
    }
    return 0;
}

} // namespace stelmo
