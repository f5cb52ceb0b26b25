// Shows untrusted text (environment values, file names) safely inside a
// one-line message.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace stelmo::ports {

// `value` with control characters, backslashes and bytes above 0x7e shown as
// \xNN, so it cannot break the line or the terminal.
inline std::string printable(std::string_view value)
{
    std::string text;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text;
}

// `text` between double quotes. (Built in place: gcc -O3 warns falsely about
// the concatenation "\"" + text + "\"".)
inline std::string in_quotes(std::string text)
{
    text.insert(text.begin(), '"');
    text.push_back('"');
    return text;
}

} // namespace stelmo::ports
