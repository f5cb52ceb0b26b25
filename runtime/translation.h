// The operator's language: Qt translation catalogues chosen by the locale,
// and texts looked up in them whether or not the application exists yet
// (the start-up code reads options and configuration files before it does,
// and start-up faults are said before it is created).
//
// stelmo's catalogue is stelmo_<language>.qm, looked for in translations/
// next to the executable (the build tree), then in
// ../share/stelmo/translations relative to it (installed, also after the tree
// was moved). Qt's own catalogue (qtbase_<language>.qm, for the texts of Qt's
// dialogs) comes from Qt's translations directory when it is installed. No
// catalogue for English: it is the language the texts are written in.
#pragma once

#include <QLocale>
#include <QString>

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

class QCoreApplication;

namespace stelmo {

// Where stelmo's catalogues are looked for, for an executable in `exe_dir`.
std::vector<QString> translation_dirs(const QString &exe_dir);

// Loads stelmo's catalogue for `locale` from the first of `dirs` that has
// one, and Qt's from Qt's translations directory, in place of what was loaded
// before. The locale's languages are tried in its order of preference up to
// the first English one. Returns how many catalogues were loaded (0 to 2).
// At start-up, before any thread translates; an application that exists
// gets them installed at once.
int load_translations(const QLocale &locale, const std::vector<QString> &dirs);

// load_translations for the user's locale (QLocale::system()) from the places
// beside this executable.
int load_user_translations();

// Installs what load_translations loaded into `app`, once it is created.
void install_translations(QCoreApplication &app);

// A translated text whose placeholders %1 to %9 are filled in one pass, so
// that a "%2" inside the first argument stays as it is.
class Text {
public:
    explicit Text(QString text) : text_(std::move(text)) {}

    // The text as UTF-8 with %N replaced by the N-th of `args`: text (UTF-8)
    // or whole numbers.
    template <class... Args> std::string operator()(const Args &...args) const
    {
        static_assert(sizeof...(Args) <= 9, "at most nine placeholders");
        return fill({argument(args)...});
    }

    const QString &qstring() const { return text_; }

private:
    static QString argument(const QString &text) { return text; }
    static QString argument(std::string_view text)
    {
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    }
    static QString argument(const std::string &text) { return argument(std::string_view(text)); }
    static QString argument(const char *text) { return QString::fromUtf8(text); }
    template <class Number>
    requires std::is_integral_v<Number>
    static QString argument(Number number) { return QString::number(number); }
    std::string fill(std::initializer_list<QString> args) const;

    QString text_;
};

// `source` of translation context `context` in the operator's language, or
// as it is when no catalogue has it. Safe on any thread once the catalogues
// are loaded. lupdate collects every call's texts into the catalogues.
Text translate(const char *context, const char *source);

} // namespace stelmo
