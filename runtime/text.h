// Text for the run-time layer's one-line reports: untrusted bytes (file
// names, environment values, what a panel file says) shown safely, and a
// whole line written to a descriptor. No Qt.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace stelmo {

// The most characters printable() shows; longer text ends in "...".
constexpr std::size_t PRINTABLE_MAX = 160;

// `bytes` fit for one line of a report: printable UTF-8 stays as it is;
// control and format characters, backslashes and bytes that are not UTF-8
// become \xNN, so nothing can break the line or steer the terminal. Cut after
// PRINTABLE_MAX characters.
std::string printable(std::string_view bytes);

// printable(bytes) between double quotes.
std::string in_quotes(std::string_view bytes);

// Writes all of `bytes` to `fd`, going on after a signal or a short write.
// 0 once everything is written, else the errno value that stopped it (EIO
// when the descriptor took nothing without saying why).
int write_all(int fd, std::string_view bytes);

} // namespace stelmo
