// Binding the callback names of a panel file to the program's functions.
//
// A panel file is data, so the names in it are looked up carefully: a name
// must be a C identifier, must resolve to a function defined in the same
// executable as the engine (the program links the engine statically and
// exports its symbols), and must not be one of the run-time's own entry
// points or a libc helper linked into the executable. That keeps a panel file
// from calling abort, exit or LoadPanel as if it were a control callback.
#include "runtime/engine/panel_load.h"

#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <string>

namespace stelmo::engine {

namespace {

constexpr std::size_t NAME_MAX_LENGTH = 128;

// Functions that live in the executable but are not control callbacks: the
// entry point, the run-time's services and the parts of libc that every
// executable carries (libc_nonshared).
constexpr std::string_view NOT_CALLBACKS[] = {
    "main",
    "InitRuntimeEx",
    "LoadPanel",
    "DisplayPanel",
    "SetCtrlAttribute",
    "GetCtrlAttribute",
    "RunUserInterface",
    "QuitUserInterface",
    "GetCtrlIndex",
    "SetCtrlVal",
    "inp",
    "outp",
    "atexit",
    "at_quick_exit",
    "pthread_atfork",
};

bool is_c_identifier(std::string_view name)
{
    if (name.empty() || name.size() > NAME_MAX_LENGTH)
        return false;
    const auto letter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!letter(name.front()))
        return false;
    return std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || digit(c); });
}

// The load address of the object that holds the engine's code.
void *own_object()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&LoadPanel), &info) == 0)
        return nullptr;
    return info.dli_fbase;
}

} // namespace

Fault find_callback(std::string_view name, CtrlCallbackPtr &callback)
{
    if (!is_c_identifier(name))
        return {ERR_BAD_CONTROL, translate("stelmo", "which is not a C function name")()};
    // Leading underscores are reserved for the compiler and the C library
    // (this also keeps out C++ functions, whose symbols start with _Z).
    if (name.front() == '_' || std::find(std::begin(NOT_CALLBACKS), std::end(NOT_CALLBACKS),
                                         name) != std::end(NOT_CALLBACKS))
        return {ERR_BAD_CONTROL, translate("stelmo", "which is not a control callback")()};

    const std::string symbol(name);
    void *address = ::dlsym(RTLD_DEFAULT, symbol.c_str());
    if (!address)
        return {ERR_BAD_CONTROL, translate("stelmo", "which the program does not have")()};

    Dl_info info{};
    void *symbol_entry = nullptr;
    const bool described = ::dladdr1(address, &info, &symbol_entry, RTLD_DL_SYMENT) != 0;
    const auto *entry = static_cast<const ElfW(Sym) *>(symbol_entry);
    if (!described || !entry)
        return {ERR_BAD_CONTROL, translate("stelmo", "which is not a function of the program")()};
    if (info.dli_fbase != own_object())
        return {ERR_BAD_CONTROL,
                info.dli_fname
                    ? translate("stelmo", "which is not a function of the program (it is in %1)")(
                          printable(info.dli_fname))
                    : translate("stelmo", "which is not a function of the program (it is in "
                                          "another library)")()};
    // The symbol itself must be a function defined here, starting exactly at
    // the address found: not data, not an import.
    if (ELF64_ST_TYPE(entry->st_info) != STT_FUNC || entry->st_shndx == SHN_UNDEF ||
        info.dli_saddr != address || !info.dli_sname || symbol != info.dli_sname)
        return {ERR_BAD_CONTROL, translate("stelmo", "which is not a function of the program")()};
    callback = reinterpret_cast<CtrlCallbackPtr>(address);
    return {};
}

} // namespace stelmo::engine
