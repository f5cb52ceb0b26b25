// Configuration files of key=value lines, such as /etc/stelmo/stelmo.conf:
//
//   # the motor is on the card at 0xd010
//   io = port,0x378=0xd010
//
// One setting per line; blanks around key and value are dropped; lines that
// start with # and blank lines are ignored. No Qt: the port helper reads
// these too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace stelmo {

// The system configuration file; with privileges the port helper reads the
// device and mapping from here alone.
constexpr const char *SYSTEM_CONFIG = "/etc/stelmo/stelmo.conf";
// Largest configuration file read, in bytes.
constexpr std::size_t CONF_MAX = 64 * 1024;

struct ConfFile {
    struct Entry {
        std::string key;
        std::string value;
        int line; // from 1
    };
    bool found = false;         // the file exists
    std::vector<Entry> entries; // in file order
    // The value of `key`, null when the file does not set it.
    const std::string *find(std::string_view key) const;
};

// Parses the text of a configuration file; `name` is the file named in
// errors. On a bad line returns false with `error` naming file, line and cause.
bool parse_conf(std::string_view text, std::string_view name, ConfFile &conf, std::string &error);

// Reads and parses `path`. A missing file is no error: `conf.found` stays false.
bool read_conf(const std::string &path, ConfFile &conf, std::string &error);

// read_conf() of a file that nobody but root can change: the file and every
// directory on its way from / belong to root and are not writable by group
// or others, and every symlink on the way belongs to root and points into
// such directories. Each of them is checked on the descriptor that was
// opened, and the file read is the one checked. A missing file is no error
// when the directories that exist pass. Else false with `error` naming the
// path at fault.
bool read_trusted_conf(const std::string &path, ConfFile &conf, std::string &error);

} // namespace stelmo
