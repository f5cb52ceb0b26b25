#include "runtime/base/text.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace stelmo {

namespace {

// Length of the UTF-8 sequence that starts `bytes`, or 0 when it is not a
// valid one (stray continuation byte, overlong form, surrogate, cut short).
std::size_t sequence_length(std::string_view bytes, char32_t &code)
{
    const auto lead = static_cast<unsigned char>(bytes[0]);
    std::size_t length = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[i]);
        if ((next & 0xC0u) != 0x80u)
            return 0;
        code = (code << 6) | (next & 0x3Fu);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Characters that print as themselves on one line: not C0 or C1 controls,
// DEL, the backslash, line and paragraph separators, or invisible format
// characters (zero-width, direction overrides, the byte order mark).
bool shows_as_itself(char32_t c)
{
    if (c < 0x20 || c == 0x7F || c == '\\' || (c >= 0x80 && c < 0xA0))
        return false;
    if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
        (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || c == 0xFFFE || c == 0xFFFF)
        return false;
    return true;
}

void append_escaped(std::string &text, unsigned char byte)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(byte));
    text += escaped;
}

// Set at start-up; atomic all the same, so that a test loading catalogues
// again while a tick thread reports is no data race.
std::atomic<Translator> translator{nullptr};

} // namespace

std::string printable(std::string_view bytes)
{
    std::string text;
    std::size_t shown = 0;
    while (!bytes.empty()) {
        if (++shown > PRINTABLE_MAX) {
            text += "...";
            break;
        }
        char32_t code = 0;
        const std::size_t length = sequence_length(bytes, code);
        if (length > 0 && shows_as_itself(code)) {
            text.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        } else {
            append_escaped(text, static_cast<unsigned char>(bytes.front()));
            bytes.remove_prefix(1);
        }
    }
    return text;
}

std::string in_quotes(std::string_view bytes)
{
    // Built in place: gcc -O3 warns falsely about "\"" + text + "\"".
    std::string text = printable(bytes);
    text.insert(text.begin(), '"');
    text.push_back('"');
    return text;
}

int write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

void set_translator(Translator to)
{
    translator.store(to, std::memory_order_release);
}

std::string tr_text(const char *context, const char *english)
{
    const Translator to = translator.load(std::memory_order_acquire);
    return to ? to(context, english) : std::string(english);
}

std::string fill_in_list(std::string_view text, std::initializer_list<std::string_view> args)
{
    std::string filled;
    filled.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size()) {
            const int n = text[i + 1] - '0';
            if (n >= 1 && n <= static_cast<int>(args.size())) {
                filled += args.begin()[n - 1];
                ++i;
                continue;
            }
        }
        filled += text[i];
    }
    return filled;
}

} // namespace stelmo
