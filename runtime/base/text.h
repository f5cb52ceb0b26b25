// Text for the run-time layer's one-line reports: untrusted bytes (file
// names, environment values, what a panel file says) shown safely, a whole
// line written to a descriptor, and the operator's language for the layers
// without Qt. No Qt.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

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

// --- the operator's language ---------------------------------------------------
// The port backends, the configuration files and the fault log say their
// texts through tr_text(), which lupdate collects like translate(). In stelmo
// the engine points it at the Qt catalogues when it loads them; elsewhere (the
// port helper, which has no catalogue) the texts stay English.

// The English `english` of translation context `context` in the operator's
// language, as UTF-8.
using Translator = std::string (*)(const char *context, const char *english);

// Points tr_text() at `translator`; null gives the English texts. At start-up.
void set_translator(Translator translator);

// `english` of `context` through the translator set, or as it is. Placeholders
// are filled by fill_in().
std::string tr_text(const char *context, const char *english);

// Marks `english` for lupdate where it is kept, say in a table, to be looked
// up with tr_text(context, ...) when it is said.
#define TR_TEXT_NOOP(context, english) english

// `text` with %1 to %9 replaced by `args` in one pass, so that a "%2" inside
// the first argument stays as it is; a %N without its argument stays too.
std::string fill_in_list(std::string_view text, std::initializer_list<std::string_view> args);

namespace detail {
inline std::string_view argument(std::string_view text)
{
    return text;
}
template <class Number>
requires std::is_integral_v<Number> std::string argument(Number number)
{
    return std::to_string(number);
}
} // namespace detail

// fill_in_list() for arguments that are text (UTF-8) or whole numbers:
// fill_in(tr_text("Ports", "cannot open %1: %2"), device, std::strerror(err)).
template <class... Args> std::string fill_in(std::string_view text, const Args &...args)
{
    static_assert(sizeof...(Args) <= 9, "at most nine placeholders");
    return fill_in_list(text, {std::string_view(detail::argument(args))...});
}

} // namespace stelmo
