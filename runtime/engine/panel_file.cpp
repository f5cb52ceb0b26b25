// Finding, reading and vetting panel files before the form loader sees them.
//
// The form loader trusts its input: it recurses once per nesting level and
// builds every widget a document lists. A panel file is data from disk, so it
// is bounded here first: size, nesting depth and widget count, no document
// type declaration (Designer never writes one, and it is where entity tricks
// live), and well-formed XML. Then what the document would make Qt do:
//   - no <connection>: the program's controls are bound by name only, and a
//     connection could click Start or make Stop call itself;
//   - every size and position at most FORM_SIZE_MAX pixels, every font at
//     most FONT_POINTS_MAX points (a window is painted into memory whole);
//   - every file it names (pixmaps, icons, url() in style sheets, src in
//     rich text, URL properties) an existing regular file of at most
//     REFERENCE_MAX_BYTES, so no FIFO or device can hang the program and no
//     huge file fill its memory. Qt resource paths (":/...") are fine.
#include "runtime/engine/panel_load.h"

#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <QXmlStreamReader>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stelmo::engine {

namespace {

constexpr long long FILE_MAX_BYTES = 4 * 1024 * 1024; // panels are a few kilobytes
constexpr int NESTING_MAX = 64;                       // elements inside elements
constexpr int WIDGETS_MAX = 5000;
constexpr int ELEMENTS_MAX = 200000;
constexpr double FORM_SIZE_MAX = 10000;  // px: a width, height or position
constexpr double NO_MAXIMUM = 16777215;  // what Designer writes for "no maximum size"
constexpr double FONT_POINTS_MAX = 1000; // a font's point size
constexpr long long REFERENCE_MAX_BYTES = 16 * 1024 * 1024; // a file the form names
// Rows and columns of a layout or a table, spans, and entries of a layout's
// stretch and minimum lists: a grid's cost grows with them, not with what
// is in it.
constexpr int GRID_MAX = 1000;
constexpr qsizetype TEXT_TOTAL_MAX = 256 * 1024; // characters of all the form's texts
// The one widget that reads files by itself: its source, and the pictures
// and style sheets that source names.
constexpr const char *BROWSER = "QTextBrowser";

std::string join(std::string_view dir, std::string_view name)
{
    std::string path(dir);
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

// `dir` without its last component: "/opt/stelmo/bin" gives "/opt/stelmo".
std::string parent_of(std::string_view dir)
{
    while (dir.size() > 1 && dir.back() == '/')
        dir.remove_suffix(1);
    const auto slash = dir.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    if (slash == 0)
        return "/";
    return std::string(dir.substr(0, slash));
}

// Reads what `fd` holds, up to one byte past FILE_MAX_BYTES; `size_hint`
// is what fstat said. The file may change while it is read, so what arrived
// is judged, not the hint.
Fault read_bounded(int fd, long long size_hint, QByteArray &data)
{
    constexpr qsizetype LIMIT = FILE_MAX_BYTES + 1;
    data.resize(std::min<qsizetype>(static_cast<qsizetype>(size_hint) + 1, LIMIT));
    qsizetype got = 0;
    for (;;) {
        if (got == data.size()) {
            if (got == LIMIT)
                break;
            data.resize(std::min<qsizetype>(got * 2, LIMIT));
        }
        const ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(data.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {ERR_PANEL_FILE, std::strerror(errno)};
        if (n == 0)
            break;
        got += n;
    }
    data.resize(got);
    data.squeeze();
    if (got == 0)
        return {ERR_PANEL_FILE, translate("stelmo", "the file is empty")()};
    if (got > FILE_MAX_BYTES)
        return {ERR_PANEL_FILE,
                translate("stelmo", "too large for a panel file (more than %1 bytes)")(
                    static_cast<long long>(FILE_MAX_BYTES))};
    return {};
}

// Checks the file at `path`, named in the form as `named`: it must exist
// and be a regular file of bounded size, and not empty: the files of /proc
// say they are empty, and reading some of them (/proc/kmsg) waits for ever.
// stat() opens nothing, so a FIFO cannot hang the check.
Fault check_file(const QString &path, const QString &named)
{
    const QByteArray local = QFile::encodeName(path);
    struct stat st {};
    const std::string file = in_quotes(named.toStdString());
    if (::stat(local.constData(), &st) != 0)
        return {ERR_NOT_A_PANEL, translate("stelmo", "the form names %1, which cannot be used: %2")(
                                     file, std::strerror(errno))};
    if (!S_ISREG(st.st_mode))
        return {ERR_NOT_A_PANEL,
                translate("stelmo", "the form names %1, which is not a regular file")(file)};
    if (st.st_size == 0)
        return {ERR_NOT_A_PANEL, translate("stelmo", "the form names %1, which is empty")(file)};
    if (st.st_size > REFERENCE_MAX_BYTES)
        return {ERR_NOT_A_PANEL,
                translate("stelmo", "the form names %1, which is too large (%2 bytes, at most %3)")(
                    file, static_cast<long long>(st.st_size),
                    static_cast<long long>(REFERENCE_MAX_BYTES))};
    return {};
}

// Where a form's file references are resolved: the form loader takes
// pixmaps and icons relative to the panel file's directory; style sheets and
// rich text are resolved when shown, relative to the working directory.
struct ReferenceDirs {
    QDir panel_dir;
    QDir work_dir;
};

// A pixmap or icon file of the form, as the form loader resolves it.
Fault check_form_file(const QString &named, const ReferenceDirs &places)
{
    const QString path = named.trimmed();
    if (path.isEmpty() || path.startsWith(QLatin1Char(':')))
        return {}; // nothing, or a resource compiled into the program
    return check_file(places.panel_dir.absoluteFilePath(path), path);
}

// A file named in text (a style sheet's url(), rich text's src, a URL
// property). A relative name is checked both beside the panel file and in
// the working directory, and must be in one of them.
Fault check_text_reference(const QString &reference, const ReferenceDirs &places)
{
    const QString named = reference.trimmed();
    if (named.isEmpty() || named.startsWith(QLatin1Char(':')) || named.startsWith(QLatin1Char('#')))
        return {}; // a resource, or an anchor in the same text
    // Escapes would be read one way here and another when Qt shows the text.
    if (named.contains(QLatin1Char('%')) || named.contains(QLatin1Char('\\')) ||
        named.contains(QLatin1Char('&')))
        return {ERR_NOT_A_PANEL,
                translate("stelmo", "the form names %1 with escapes (%, \\ or &); name a file "
                                    "plainly")(in_quotes(named.toStdString()))};
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]+):"));
    if (const auto match = scheme.match(named); match.hasMatch()) {
        if (match.captured(1).compare(QLatin1String("file"), Qt::CaseInsensitive) != 0)
            return {}; // qrc:, data:, http:...: Qt reads no file for them
        return check_file(QUrl(named).toLocalFile(), named);
    }
    if (QDir::isAbsolutePath(named))
        return check_file(named, named);
    bool found = false;
    for (const QDir *dir : {&places.panel_dir, &places.work_dir}) {
        const QString path = dir->absoluteFilePath(named);
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        found = true;
        if (Fault fault = check_file(path, named))
            return fault;
    }
    if (!found)
        return {ERR_NOT_A_PANEL,
                translate("stelmo",
                          "the form names %1, which is neither beside the panel file "
                          "nor in the working directory")(in_quotes(named.toStdString()))};
    return {};
}

Fault refuse_browser()
{
    return {ERR_NOT_A_PANEL, translate("stelmo", "the form holds a %1, which reads files by "
                                                 "itself; use a QLabel or a QTextEdit")(BROWSER)};
}

// The elements whose text is a pixmap or icon file for the form loader.
bool names_form_file(QStringView element)
{
    static const QStringList elements = {
        QStringLiteral("pixmap"),    QStringLiteral("iconset"),     QStringLiteral("normaloff"),
        QStringLiteral("normalon"),  QStringLiteral("disabledoff"), QStringLiteral("disabledon"),
        QStringLiteral("activeoff"), QStringLiteral("activeon"),    QStringLiteral("selectedoff"),
        QStringLiteral("selectedon")};
    return elements.contains(element);
}

// The elements whose number is a size or position in pixels.
bool is_extent(QStringView element, QStringView parent)
{
    static const QStringList values = {QStringLiteral("x"), QStringLiteral("y"),
                                       QStringLiteral("width"), QStringLiteral("height")};
    static const QStringList holders = {QStringLiteral("rect"),  QStringLiteral("rectf"),
                                        QStringLiteral("size"),  QStringLiteral("sizef"),
                                        QStringLiteral("point"), QStringLiteral("pointf")};
    return values.contains(element) && holders.contains(parent);
}

// What an element of the form holds, checked once it has been read whole:
// `element` inside `parent`, within property `property` (empty: none), with
// the text `text`.
Fault check_element(const QString &element, const QString &parent, const QString &property,
                    const QString &text, const ReferenceDirs &places)
{
    bool is_number = false;
    const double value = text.trimmed().toDouble(&is_number);
    if (is_extent(element, parent)) {
        const double limit = property == QLatin1String("maximumSize") ? NO_MAXIMUM : FORM_SIZE_MAX;
        if (is_number && std::abs(value) > limit)
            return {ERR_NOT_A_PANEL,
                    translate("stelmo", "a %1 of %2 in %3, more than %4 pixels")(
                        shown(element), number(value), shown(property), number(limit))};
    } else if (element == QLatin1String("pointsize")) {
        if (is_number && std::abs(value) > FONT_POINTS_MAX)
            return {ERR_NOT_A_PANEL, translate("stelmo", "a font of %1 points, more than %2")(
                                         number(value), number(FONT_POINTS_MAX))};
    } else if (names_form_file(element)) {
        return check_form_file(text, places);
    } else if (element == QLatin1String("number") && (property == QLatin1String("rowCount") ||
                                                      property == QLatin1String("columnCount"))) {
        if (is_number && std::abs(value) > GRID_MAX)
            return {ERR_NOT_A_PANEL, translate("stelmo", "a %1 of %2, more than %3")(
                                         shown(property), number(value), GRID_MAX)};
    } else if (element == QLatin1String("extends") && text.trimmed() == QLatin1String(BROWSER)) {
        return refuse_browser();
    } else if (element == QLatin1String("string") && parent == QLatin1String("url")) {
        return check_text_reference(text, places);
    } else if (element == QLatin1String("string")) {
        if (property == QLatin1String("styleSheet"))
            if (Fault fault = check_style_sheet(text))
                return fault;
        return check_panel_text(text);
    }
    return {};
}

} // namespace

std::vector<std::string> panel_file_candidates(std::string_view name, std::string_view exe_dir,
                                               std::string_view work_dir,
                                               const std::vector<std::string> &first_dirs)
{
    if (!name.empty() && name.front() == '/')
        return {std::string(name)};
    std::vector<std::string> candidates;
    for (const std::string &dir : first_dirs)
        candidates.push_back(join(dir, name));
    if (!exe_dir.empty()) { // empty when the executable's path is unknown
        candidates.push_back(join(exe_dir, name));
        candidates.push_back(join(join(parent_of(exe_dir), "share/stelmo"), name));
    }
    candidates.push_back(work_dir.empty() ? std::string(name) : join(work_dir, name));
    return candidates;
}

std::string find_panel_file(std::string_view name, std::string_view exe_dir,
                            std::string_view work_dir, const std::vector<std::string> &first_dirs)
{
    for (const std::string &path : panel_file_candidates(name, exe_dir, work_dir, first_dirs)) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0)
            return path;
    }
    return {};
}

Fault locate_panel_file(const std::string &name, const std::vector<std::string> &first_dirs,
                        std::string &path)
{
    // Where to look: the site's directories, next to the executable, in the
    // installed data directory, then in the working directory.
    const std::string exe_dir =
        QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString();
    std::vector<char> buffer(PATH_MAX);
    const std::string work_dir = ::getcwd(buffer.data(), buffer.size()) ? buffer.data() : ".";
    path = find_panel_file(name, exe_dir, work_dir, first_dirs);
    if (!path.empty())
        return {};
    const auto tried = panel_file_candidates(name, exe_dir, work_dir, first_dirs);
    if (tried.size() == 1) {
        path = tried.front(); // one place only: reading it says what is wrong
        return {};
    }
    std::string places;
    for (std::size_t i = 0; i < tried.size(); ++i) {
        if (i > 0)
            places += i + 1 == tried.size() ? translate("stelmo", " or ")() : ", ";
        places += printable(tried[i]);
    }
    return {ERR_PANEL_FILE, translate("stelmo", "panel file %1 not found (looked for %2)")(
                                in_quotes(name), places)};
}

Fault read_panel_file(const std::string &path, QByteArray &data)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It changes
    // nothing for regular files, the only kind read below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {ERR_PANEL_FILE, std::strerror(errno)};
    struct stat st {};
    Fault fault;
    if (::fstat(fd, &st) != 0)
        fault = {ERR_PANEL_FILE, std::strerror(errno)};
    else if (!S_ISREG(st.st_mode))
        fault = {ERR_PANEL_FILE, translate("stelmo", "not a regular file")()};
    else if (st.st_size > FILE_MAX_BYTES)
        fault = {ERR_PANEL_FILE,
                 translate("stelmo", "too large for a panel file (%1 bytes, at most %2)")(
                     static_cast<long long>(st.st_size), static_cast<long long>(FILE_MAX_BYTES))};
    else
        fault = read_bounded(fd, st.st_size, data);
    ::close(fd);
    if (fault)
        data.clear();
    return fault;
}

namespace {

// A layout item's row, column and spans, and the entries of a layout's
// stretch and minimum lists, within GRID_MAX.
Fault check_grid(const QXmlStreamReader &xml)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    if (xml.name() == QLatin1String("item")) {
        // A span of -1 reaches to the last row or column.
        for (const auto &[place, least] :
             {std::pair{"row", 0}, {"column", 0}, {"rowspan", -1}, {"colspan", -1}}) {
            const QStringView written = attributes.value(QLatin1String(place));
            bool ok = written.isEmpty();
            const int at = ok ? 0 : written.toInt(&ok);
            if (!ok || at < least || at > GRID_MAX)
                return {ERR_NOT_A_PANEL,
                        translate("stelmo",
                                  "a layout item with %1 %2; rows, columns and spans "
                                  "go up to %3")(place, shown(written.toString()), GRID_MAX)};
        }
    } else if (xml.name() == QLatin1String("layout")) {
        for (const char *list :
             {"stretch", "rowstretch", "columnstretch", "rowminimumheight", "columnminimumwidth"}) {
            if (attributes.value(QLatin1String(list)).count(QLatin1Char(',')) >= GRID_MAX)
                return {ERR_NOT_A_PANEL,
                        translate("stelmo", "a layout's %1 lists more than %2 entries")(list,
                                                                                        GRID_MAX)};
        }
    }
    return {};
}

// What check_form_document keeps while it reads a form: how much there is
// so far, and the open elements with the text of the innermost one.
struct FormScan {
    ReferenceDirs places;
    int depth = 0;
    int elements = 0;
    int widgets = 0;
    qsizetype texts = 0; // characters of the <string> elements so far
    // The open elements, innermost last, and for each <property> its name.
    std::vector<std::pair<QString, QString>> open;
    QString text; // of the innermost element since it started

    // The name of the innermost property being read.
    QString property() const
    {
        for (auto it = open.rbegin(); it != open.rend(); ++it)
            if (it->first == QLatin1String("property"))
                return it->second;
        return QString();
    }

    // An element begins: bounds, the elements a panel may not have.
    Fault start(const QXmlStreamReader &xml)
    {
        if (++depth > NESTING_MAX)
            return {ERR_NOT_A_PANEL,
                    translate("stelmo", "elements nested more than %1 deep")(NESTING_MAX)};
        if (++elements > ELEMENTS_MAX)
            return {ERR_NOT_A_PANEL, translate("stelmo", "more than %1 elements")(ELEMENTS_MAX)};
        if (xml.name() == QLatin1String("widget") && ++widgets > WIDGETS_MAX)
            return {ERR_NOT_A_PANEL, translate("stelmo", "more than %1 widgets")(WIDGETS_MAX)};
        if (xml.name() == QLatin1String("connection"))
            return {ERR_NOT_A_PANEL, translate("stelmo", "the form connects signals "
                                                         "(<connection>); stelmo binds its "
                                                         "controls by name only")()};
        if (xml.name() == QLatin1String("widget") &&
            xml.attributes().value(QLatin1String("class")) == QLatin1String(BROWSER))
            return refuse_browser();
        if (Fault fault = check_grid(xml))
            return fault;
        // A theme icon's name with a / in it can reach any file.
        if (const QString theme = xml.attributes().value(QLatin1String("theme")).toString();
            xml.name() == QLatin1String("iconset") && theme.contains(QLatin1Char('/')))
            return {ERR_NOT_A_PANEL,
                    translate("stelmo", "icon theme name %1 holds a /; it names an icon, not a "
                                        "file")(in_quotes(theme.toStdString()))};
        open.emplace_back(xml.name().toString(),
                          xml.attributes().value(QLatin1String("name")).toString());
        text.clear();
        return {};
    }

    // An element ends: what it says (sizes, file references) is checked.
    Fault end()
    {
        --depth;
        const QString element = open.back().first;
        open.pop_back();
        if (element == QLatin1String("string") && (texts += text.size()) > TEXT_TOTAL_MAX)
            return {ERR_NOT_A_PANEL, translate("stelmo", "more than %1 characters of text")(
                                         static_cast<long long>(TEXT_TOTAL_MAX))};
        const QString parent = open.empty() ? QString() : open.back().first;
        Fault fault = check_element(element, parent, property(), text, places);
        text.clear();
        return fault;
    }
};

// The directory the program runs in, where style sheets and rich text look.
QDir working_dir()
{
    std::vector<char> buffer(PATH_MAX);
    return QDir(::getcwd(buffer.data(), buffer.size()) ? QFile::decodeName(buffer.data())
                                                       : QStringLiteral("."));
}

} // namespace

Fault check_form_document(const QByteArray &data, const std::string &panel_dir)
{
    QXmlStreamReader xml(data);
    FormScan scan;
    scan.places = {QDir(QFile::decodeName(QByteArray::fromStdString(panel_dir))), working_dir()};
    const auto where = [&xml] {
        return translate("stelmo", "line %1, column %2: ")(xml.lineNumber(), xml.columnNumber());
    };
    while (!xml.atEnd()) {
        Fault fault;
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            fault = {ERR_NOT_A_PANEL,
                     translate("stelmo", "a panel file has no document type declaration")()};
            break;
        case QXmlStreamReader::EntityReference:
            fault = {ERR_NOT_A_PANEL,
                     translate("stelmo", "unknown entity &%1;")(shown(xml.name().toString()))};
            break;
        case QXmlStreamReader::StartElement:
            if (scan.depth == 0 && xml.name() != QLatin1String("ui"))
                return {ERR_NOT_A_PANEL,
                        translate("stelmo", "not a Qt Designer form (the document is <%1>, not "
                                            "<ui>)")(shown(xml.name().toString()))};
            fault = scan.start(xml);
            break;
        case QXmlStreamReader::Characters:
            scan.text += xml.text();
            break;
        case QXmlStreamReader::EndElement:
            fault = scan.end();
            break;
        default:
            break;
        }
        if (fault)
            return {fault.code, where() + fault.text};
    }
    if (xml.hasError())
        return {ERR_NOT_A_PANEL, where() + shown(xml.errorString())};
    if (scan.widgets == 0)
        return {ERR_NOT_A_PANEL, translate("stelmo", "the form holds no widget")()};
    return {};
}

} // namespace stelmo::engine
