// Reading key=value configuration files, and opening one that only root can
// change for a privileged process to believe. No Qt: the port helper reads
// them as well as the start-up code.
#include "runtime/config/conf_file.h"

#include "runtime/base/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// The most symlinks followed on the way to a trusted file, as the kernel's limit.
constexpr int LINKS_MAX = 40;

// The directories from / down to where a walk has come, each opened and found
// to be root's alone, with their paths for messages. Each step opens the next
// entry relative to the last directory, so nothing checked can be swapped
// before it is used: only root can change an entry of these directories.
class Trail {
public:
    ~Trail()
    {
        for (const int fd : fds_)
            ::close(fd);
    }
    // Starts at /, or from / again for an absolute symlink target.
    bool to_root(std::string &error)
    {
        while (fds_.size() > 1)
            up();
        if (!fds_.empty())
            return true;
        struct stat st {};
        const int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            error = std::string("/: cannot check who may change it: ") + std::strerror(errno);
        if (fd < 0 || !checked(fd, "/", st, error))
            return false;
        push(fd, "/");
        return true;
    }
    void up()
    {
        if (fds_.size() > 1) {
            ::close(fds_.back());
            fds_.pop_back();
            paths_.pop_back();
        }
    }
    void push(int fd, std::string path)
    {
        fds_.push_back(fd);
        paths_.push_back(std::move(path));
    }
    int dir() const { return fds_.back(); }
    std::string child(std::string_view name) const
    {
        return (paths_.back() == "/" ? "" : paths_.back()) + "/" + std::string(name);
    }
    // Whether the entry opened as `fd` at `path` is root's alone (`st` says
    // what it is); closes `fd` when it is not.
    static bool checked(int fd, const std::string &path, struct stat &st, std::string &error)
    {
        if (::fstat(fd, &st) != 0)
            error = printable(path) + ": cannot check who may change it: " + std::strerror(errno);
        else if (root_alone(path, st, error))
            return true;
        ::close(fd);
        return false;
    }

private:
    std::vector<int> fds_;
    std::vector<std::string> paths_;
};

// The names of `path` after its slashes, last first (so the next is at the back).
std::vector<std::string> names_of(std::string_view path)
{
    std::vector<std::string> names;
    while (!path.empty()) {
        const std::size_t slash = path.rfind('/');
        const std::string_view name = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
        if (!name.empty())
            names.emplace_back(name);
        path = path.substr(0, slash == std::string_view::npos ? 0 : slash);
    }
    return names;
}

// Follows the symlink opened as `link` (closed here): its target's names
// come next in `names`, from / again when it is absolute.
bool follow(int link, const std::string &shown, Trail &trail, std::vector<std::string> &names,
            std::string &error)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(link, "", target, sizeof target - 1);
    const int err = errno;
    ::close(link);
    if (n <= 0) {
        error = printable(shown) + ": cannot read the symlink: " + std::strerror(n < 0 ? err : EIO);
        return false;
    }
    const std::string_view to(target, static_cast<std::size_t>(n));
    for (std::string &name : names_of(to))
        names.push_back(std::move(name));
    return to.front() != '/' || trail.to_root(error);
}

// Opens `name` in the directory `dir` for reading as the entry `checked` that
// was found root's alone, and checks the opened file again.
bool open_checked(int dir, const std::string &name, const std::string &shown,
                  const struct stat &checked, int &fd, std::string &error)
{
    fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = fill_in(tr_text("ConfFile", "cannot read %1: %2"), printable(shown),
                        std::strerror(errno));
    } else if (st.st_dev != checked.st_dev || st.st_ino != checked.st_ino) {
        error = printable(shown) + ": changed while it was being checked";
    } else if (root_alone(shown, st, error)) {
        return true;
    }
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    return false;
}

// Opens `path` for reading when only root can change it: the file, every
// directory on its way from / and every symlink passed (each owned by root,
// its target walked the same way), each checked on the descriptor opened. A
// missing file passes with `fd` -1 when the directories that exist do. Else
// false with `error` naming the path at fault.
bool open_root_only(const std::string &path, int &fd, std::string &error)
{
    fd = -1;
    Trail trail;
    std::vector<std::string> names = names_of(path);
    if (path.empty() || path.front() != '/') {
        error = printable(path) + ": not an absolute path";
        return false;
    }
    if (!trail.to_root(error))
        return false;
    for (int links = 0; !names.empty();) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (name == "." || name == "..") {
            if (name == "..")
                trail.up();
            continue;
        }
        const std::string shown = trail.child(name);
        const int next = ::openat(trail.dir(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT)
            return true;
        if (next < 0) {
            error = printable(shown) + ": cannot check who may change it: " + std::strerror(errno);
            return false;
        }
        struct stat st {};
        if (!Trail::checked(next, shown, st, error))
            return false;
        if (S_ISLNK(st.st_mode)) {
            if (++links > LINKS_MAX) {
                ::close(next);
                error = printable(path) + ": " + std::strerror(ELOOP);
                return false;
            }
            if (!follow(next, shown, trail, names, error))
                return false;
        } else if (!names.empty()) {
            trail.push(next, shown);
        } else {
            ::close(next);
            return open_checked(trail.dir(), name, shown, st, fd, error);
        }
    }
    return true;
}
// Reads and parses the file opened as `fd` (closed here), named `path`.
bool read_opened(int fd, const std::string &path, ConfFile &conf, std::string &error)
{
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
    return read_opened(fd, path, conf, error);
}

bool read_trusted_conf(const std::string &path, ConfFile &conf, std::string &error)
{
    conf = ConfFile{};
    int fd = -1;
    if (!open_root_only(path, fd, error))
        return false;
    return fd < 0 || read_opened(fd, path, conf, error);
}
} // namespace stelmo
