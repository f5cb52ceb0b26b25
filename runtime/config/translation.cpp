#include "runtime/config/translation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>

namespace stelmo {

namespace {

// The catalogues loaded, stelmo's first. Function-local: the start-up code
// loads them before main, when this file's statics need not be constructed
// yet. Never destroyed: an installed translator must outlive the
// application, which lives until the process ends.
std::vector<std::unique_ptr<QTranslator>> &loaded()
{
    static auto *translators = new std::vector<std::unique_ptr<QTranslator>>;
    return *translators;
}

// The languages of `locale` to look for catalogues of, most preferred first,
// as catalogue suffixes ("de_DE"); none from the first English one on.
QStringList languages(const QLocale &locale)
{
    QStringList names;
    for (QString language : locale.uiLanguages()) {
        language.replace(QLatin1Char('-'), QLatin1Char('_'));
        if (language == QLatin1String("C") || language.startsWith(QLatin1String("en")))
            break;
        names << language;
    }
    return names;
}

// A catalogue called `prefix`_<language>.qm for the first of `names` found in
// one of `dirs` (de_DE also finds a catalogue for de); null when there is none.
std::unique_ptr<QTranslator> find_catalogue(const QString &prefix, const QStringList &names,
                                            const std::vector<QString> &dirs)
{
    for (const QString &name : names) {
        for (const QString &dir : dirs) {
            auto translator = std::make_unique<QTranslator>();
            if (translator->load(prefix + QLatin1Char('_') + name, dir) && !translator->isEmpty())
                return translator;
        }
    }
    return nullptr;
}

// The run-time layers without Qt look their texts up here (tr_text()).
std::string catalogue_text(const char *context, const char *english)
{
    return translate(context, english).qstring().toStdString();
}

} // namespace

std::vector<QString> translation_dirs(const QString &exe_dir)
{
    const QDir dir(exe_dir);
    return {QDir::cleanPath(dir.filePath(QStringLiteral("translations"))),
            QDir::cleanPath(dir.filePath(QStringLiteral("../share/stelmo/translations")))};
}

int load_translations(const QLocale &locale, const std::vector<QString> &dirs)
{
    QCoreApplication *app = QCoreApplication::instance();
    for (const auto &translator : loaded())
        if (app)
            QCoreApplication::removeTranslator(translator.get());
    loaded().clear();

    const QStringList names = languages(locale);
    if (auto own = find_catalogue(QStringLiteral("stelmo"), names, dirs))
        loaded().push_back(std::move(own));
    if (auto qt = find_catalogue(QStringLiteral("qtbase"), names,
                                 {QLibraryInfo::path(QLibraryInfo::TranslationsPath)}))
        loaded().push_back(std::move(qt));
    set_translator(loaded().empty() ? nullptr : &catalogue_text);
    if (app)
        install_translations(*app);
    return static_cast<int>(loaded().size());
}

int load_user_translations()
{
    // The application, and so applicationDirPath(), may not exist yet.
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (exe.isEmpty())
        return 0;
    return load_translations(QLocale::system(), translation_dirs(QFileInfo(exe).path()));
}

void install_translations(QCoreApplication &)
{
    for (const auto &translator : loaded())
        QCoreApplication::installTranslator(translator.get());
}

Text translate(const char *context, const char *source)
{
    if (QCoreApplication::instance())
        return Text(QCoreApplication::translate(context, source));
    for (const auto &translator : loaded()) {
        QString text = translator->translate(context, source);
        if (!text.isEmpty())
            return Text(std::move(text));
    }
    return Text(QString::fromUtf8(source));
}

} // namespace stelmo
