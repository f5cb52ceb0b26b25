// The texts of a panel file, which Qt may show as rich text (labels,
// tooltips, "What's this?", item texts, text fields) or apply as style
// sheets. Qt reads the files such text names on the thread that shows it,
// when it shows it: a FIFO there blocks the window for good, /dev/zero fills
// the memory. So no text of a panel may name a file, by construction rather
// than by a list of forms to look for:
//   - every text is read by Qt's own rich text engine, as HTML and as
//     Markdown, laid out and drawn, in a document that opens nothing and
//     notes every resource it is asked for; a text that asks for any but
//     the program's own resources (":/...") is refused;
//   - a style sheet may not hold "url" at all, once every CSS escape in it
//     is undone (again and again, for style sheets set by style sheets):
//     url() is the only way a style sheet names a file.
// Texts are bounded too, so no panel takes long to lay out: tables nest in
// rich text at exponential cost, tags at quadratic.
#include "runtime/engine/panel_load.h"

#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <QImage>
#include <QPainter>
#include <QPicture>
#include <QRegularExpression>
#include <QTextDocument>
#include <QUrl>

namespace stelmo::engine {

namespace {

constexpr qsizetype TAGS_MAX = 2000; // '<' in one text: tags nested or not
constexpr qsizetype TABLES_MAX = 8;  // tables in one text, nested or not
constexpr int CSS_ROUNDS_MAX = 16;   // style sheets inside style sheets

// A document that opens nothing: it notes what its text asks for and gives
// an empty stand-in for each, so Qt never looks on disk for anything.
class Vetting : public QTextDocument {
public:
    QStringList asked;

protected:
    QVariant loadResource(int type, const QUrl &name) override
    {
        asked << name.toString();
        if (type == ImageResource) {
            QImage blank(1, 1, QImage::Format_ARGB32);
            blank.fill(Qt::transparent);
            return blank;
        }
        if (type == StyleSheetResource)
            return QString();
        return QByteArray(" ");
    }
};

// What laying out and drawing `text` asks for, read as Markdown or as HTML.
QStringList resources_of(const QString &text, bool markdown)
{
    Vetting document;
    if (markdown)
        document.setMarkdown(text);
    else
        document.setHtml(text);
    document.setTextWidth(400);
    QPicture picture; // records, draws nothing
    QPainter painter(&picture);
    document.drawContents(&painter);
    return document.asked;
}

// A resource compiled into the program: read from memory, never from disk.
bool own_resource(const QString &name)
{
    return name.startsWith(QLatin1Char(':')) ||
           name.startsWith(QLatin1String("qrc:"), Qt::CaseInsensitive);
}

bool hex_digit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// `sheet` with every CSS escape undone once: "\75" or "\000075 " is "u",
// "\r" is "r". A space after a hex escape is taken with it.
QString unescaped(const QString &sheet)
{
    QString out;
    out.reserve(sheet.size());
    for (qsizetype i = 0; i < sheet.size(); ++i) {
        if (sheet[i] != QLatin1Char('\\') || i + 1 == sheet.size()) {
            out += sheet[i];
            continue;
        }
        qsizetype digits = 0;
        while (digits < 6 && i + 1 + digits < sheet.size() && hex_digit(sheet[i + 1 + digits]))
            ++digits;
        if (digits == 0) {
            out += sheet[++i]; // any other character stands for itself
            continue;
        }
        const char32_t code = sheet.mid(i + 1, digits).toUInt(nullptr, 16);
        out += code > 0 && code <= 0x10FFFF ? QString::fromUcs4(&code, 1)
                                            : QString(QChar::ReplacementCharacter);
        i += digits;
        if (i + 1 < sheet.size() && sheet[i + 1].isSpace())
            ++i;
    }
    return out;
}

} // namespace

Fault check_style_sheet(const QString &sheet)
{
    QString text = sheet;
    for (int round = 0; round < CSS_ROUNDS_MAX; ++round) {
        if (text.contains(QLatin1String("url"), Qt::CaseInsensitive))
            return {ERR_NOT_A_PANEL,
                    translate("stelmo", "the style sheet %1 holds \"url\" once its escapes are "
                                        "undone; a panel's style sheets may name no file")(
                        in_quotes(sheet.left(60).toStdString()))};
        const QString next = unescaped(text);
        if (next == text)
            return {};
        text = next;
    }
    return {ERR_NOT_A_PANEL, translate("stelmo", "a style sheet escapes its escapes more than "
                                                 "%1 times")(CSS_ROUNDS_MAX)};
}

Fault check_panel_text(const QString &text)
{
    const std::string quoted = in_quotes(text.left(60).toStdString());
    static const QRegularExpression table(QStringLiteral("<\\s*table"),
                                          QRegularExpression::CaseInsensitiveOption);
    if (text.count(QLatin1Char('<')) > TAGS_MAX)
        return {ERR_NOT_A_PANEL, translate("stelmo", "the text %1 holds more than %2 tags")(
                                     quoted, static_cast<long long>(TAGS_MAX))};
    if (text.count(table) > TABLES_MAX)
        return {ERR_NOT_A_PANEL, translate("stelmo", "the text %1 holds more than %2 tables")(
                                     quoted, static_cast<long long>(TABLES_MAX))};
    for (const bool markdown : {false, true}) {
        for (const QString &name : resources_of(text, markdown)) {
            if (!own_resource(name))
                return {ERR_NOT_A_PANEL,
                        translate("stelmo", "the text %1 names %2; a panel's texts may show "
                                            "pictures only from the program (:/...), never "
                                            "files")(quoted, in_quotes(name.toStdString()))};
        }
    }
    return {};
}

} // namespace stelmo::engine
