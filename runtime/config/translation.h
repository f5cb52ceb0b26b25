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

#include "runtime/base/text.h"

#include <QLocale>
#include <QString>

#include <string>
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
// gets them installed at once. tr_text(), the texts of the layers without
// Qt, looks them up from then on.
int load_translations(const QLocale &locale, const std::vector<QString> &dirs);

// load_translations for the user's locale (QLocale::system()) from the places
// beside this executable.
int load_user_translations();

// Installs what load_translations loaded into `app`, once it is created.
void install_translations(QCoreApplication &app);

// A translated text whose placeholders %1 to %9 are filled in one pass, so
// that a "%2" inside the first argument stays as it is (see fill_in()).
class Text {
public:
    explicit Text(QString text) : text_(std::move(text)) {}

    // The text as UTF-8 with %N replaced by the N-th of `args`: text (UTF-8
    // or QString) or whole numbers.
    template <class... Args> std::string operator()(const Args &...args) const
    {
        return fill_in(text_.toStdString(), argument(args)...);
    }

    const QString &qstring() const { return text_; }

private:
    static std::string argument(const QString &text) { return text.toStdString(); }
    template <class Other> static const Other &argument(const Other &other) { return other; }

    QString text_;
};

// `source` of translation context `context` in the operator's language, or
// as it is when no catalogue has it. Safe on any thread once the catalogues
// are loaded. lupdate collects every call's texts into the catalogues.
Text translate(const char *context, const char *source);

} // namespace stelmo
