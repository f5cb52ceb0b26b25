// Reading key=value configuration files, and checking that only root can
// change one before a privileged process believes it. No Qt: the port helper
// reads them as well as the start-up code.
#include "runtime/config/conf_file.h"

#include "runtime/base/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stelmo {

namespace {

std::string_view trim(std::string_view text)
{
    constexpr std::string_view BLANKS = " \t\r";
    const std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

bool key_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

// The cause when `line` (without its newline) is not a setting, else empty.
std::string bad_line(std::string_view line, std::string_view key, std::size_t equals)
{
    for (const char c : line)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r') || c == 0x7f)
            return tr_text("ConfFile", "control character in the line");
    if (equals == std::string_view::npos)
        return fill_in(tr_text("ConfFile", "expected key=value, got %1"), in_quotes(line));
    if (key.empty())
        return tr_text("ConfFile", "no key before =");
    for (const char c : key)
        if (!key_character(c))
            return fill_in(
                tr_text("ConfFile", "key %1 may hold only letters, digits, '-', '_' and '.'"),
                in_quotes(key));
    return {};
}

std::string mode_text(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Checks one existing entry on the way to the file.
bool root_alone(const std::string &path, const struct stat &st, std::string &error)
{
    const std::string shown = printable(path);
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid == 0)
            return true; // where it points is checked separately
        error = shown + ": a symlink owned by uid " + std::to_string(st.st_uid) + ", not root";
        return false;
    }
    if (st.st_uid != 0) {
        error = shown + ": owned by uid " + std::to_string(st.st_uid) + ", not root";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        error = shown + ": writable by group or others (mode " + mode_text(st.st_mode) + ")";
        return false;
    }
    return true;
}

// Checks `path` and every directory above it, from / down, without following
// symlinks; stops at the first one missing. `symlinks` tells whether one was passed.
bool walk(const std::string &path, bool &symlinks, std::string &error)
{
    for (std::size_t end = 0;; end = path.find('/', end + 1)) {
        const std::string part = end == std::string::npos ? path : path.substr(0, end ? end : 1);
        struct stat st {};
        if (::lstat(part.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return true;
            error = printable(part) + ": cannot check who may change it: " + std::strerror(errno);
            return false;
        }
        if (!root_alone(part, st, error))
            return false;
        symlinks = symlinks || S_ISLNK(st.st_mode);
        if (end == std::string::npos)
            return true;
    }
}

// Where `path` really is: the real path of its longest existing leading part,
// with the missing rest appended.
std::string resolved(const std::string &path)
{
    std::string head = path;
    std::string tail;
    while (head.size() > 1) {
        char real[PATH_MAX];
        if (::realpath(head.c_str(), real))
            return std::string(real) + tail;
        const std::size_t slash = head.rfind('/');
        tail = head.substr(slash) + tail;
        head = slash == 0 ? "/" : head.substr(0, slash);
    }
    return path;
}

} // namespace

const std::string *ConfFile::find(std::string_view key) const
{
    for (const Entry &entry : entries)
        if (entry.key == key)
            return &entry.value;
    return nullptr;
}

bool parse_conf(std::string_view text, std::string_view name, ConfFile &conf, std::string &error)
{
    conf.entries.clear();
    int number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        const std::string_view content = trim(line);
        if (content.empty() || content.front() == '#')
            continue;
        const std::size_t equals = content.find('=');
        const std::string_view key = trim(content.substr(0, equals));
        std::string cause = bad_line(content, key, equals);
        if (cause.empty() && conf.find(key))
            cause = fill_in(tr_text("ConfFile", "key %1 is set twice"), key);
        if (!cause.empty()) {
            error = printable(name) + ":" + std::to_string(number) + ": " + cause;
            return false;
        }
        conf.entries.push_back(
            {std::string(key), std::string(trim(content.substr(equals + 1))), number});
    }
    return true;
}

bool read_conf(const std::string &path, ConfFile &conf, std::string &error)
{
    conf = ConfFile{};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return true;
    if (fd < 0) {
        const int err = errno;
        error =
            fill_in(tr_text("ConfFile", "cannot read %1: %2"), printable(path), std::strerror(err));
        return false;
    }
    struct stat st {};
    std::string text;
    std::string cause;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        cause = tr_text("ConfFile", "not a regular file");
    } else {
        text.resize(CONF_MAX + 1);
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                cause = std::strerror(errno);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        if (got > CONF_MAX)
            cause = fill_in(tr_text("ConfFile", "larger than %1 bytes"), CONF_MAX);
        text.resize(got);
    }
    ::close(fd);
    if (!cause.empty()) {
        error = fill_in(tr_text("ConfFile", "cannot read %1: %2"), printable(path), cause);
        return false;
    }
    conf.found = true;
    return parse_conf(text, path, conf, error);
}

bool only_root_can_change(const std::string &path, std::string &error)
{
    if (path.empty() || path.front() != '/') {
        error = printable(path) + ": not an absolute path";
        return false;
    }
    bool symlinks = false;
    if (!walk(path, symlinks, error))
        return false;
    bool again = false;
    return !symlinks || walk(resolved(path), again, error);
}

} // namespace stelmo
