// Finding, reading and vetting panel files before the form loader sees them.
//
// The form loader trusts its input: it recurses once per nesting level and
// builds every widget a document lists. A panel file is data from disk, so it
// is bounded here first: size, nesting depth and widget count, no document
// type declaration (Designer never writes one, and it is where entity tricks
// live), and well-formed XML.
#include "runtime/engine/internal.h"

#include "runtime/services.h"
#include "runtime/text.h"

#include <QCoreApplication>
#include <QFile>

#include <QXmlStreamReader>

#include <algorithm>
#include <cerrno>
#include <climits>
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
        return {ERR_PANEL_FILE, "the file is empty"};
    if (got > FILE_MAX_BYTES)
        return {ERR_PANEL_FILE, "too large for a panel file (more than " +
                                    std::to_string(FILE_MAX_BYTES) + " bytes)"};
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
            places += i + 1 == tried.size() ? " or " : ", ";
        places += printable(tried[i]);
    }
    return {ERR_PANEL_FILE,
            "panel file " + in_quotes(name) + " not found (looked for " + places + ")"};
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
        fault = {ERR_PANEL_FILE, "not a regular file"};
    else if (st.st_size > FILE_MAX_BYTES)
        fault = {ERR_PANEL_FILE, "too large for a panel file (" + std::to_string(st.st_size) +
                                     " bytes, at most " + std::to_string(FILE_MAX_BYTES) + ")"};
    else
        fault = read_bounded(fd, st.st_size, data);
    ::close(fd);
    if (fault)
        data.clear();
    return fault;
}

Fault check_form_document(const QByteArray &data)
{
    QXmlStreamReader xml(data);
    int depth = 0;
    int elements = 0;
    int widgets = 0;
    const auto where = [&xml] {
        return "line " + std::to_string(xml.lineNumber()) + ", column " +
               std::to_string(xml.columnNumber()) + ": ";
    };

    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            return {ERR_NOT_A_PANEL, where() + "a panel file has no document type declaration"};
        case QXmlStreamReader::EntityReference:
            return {ERR_NOT_A_PANEL,
                    where() + "unknown entity &" + shown(xml.name().toString()) + ";"};
        case QXmlStreamReader::StartElement:
            ++depth;
            if (depth == 1 && xml.name() != QLatin1String("ui"))
                return {ERR_NOT_A_PANEL, "not a Qt Designer form (the document is <" +
                                             shown(xml.name().toString()) + ">, not <ui>)"};
            if (depth > NESTING_MAX)
                return {ERR_NOT_A_PANEL, where() + "elements nested more than " +
                                             std::to_string(NESTING_MAX) + " deep"};
            if (++elements > ELEMENTS_MAX)
                return {ERR_NOT_A_PANEL,
                        where() + "more than " + std::to_string(ELEMENTS_MAX) + " elements"};
            if (xml.name() == QLatin1String("widget") && ++widgets > WIDGETS_MAX)
                return {ERR_NOT_A_PANEL,
                        where() + "more than " + std::to_string(WIDGETS_MAX) + " widgets"};
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    if (xml.hasError())
        return {ERR_NOT_A_PANEL, where() + shown(xml.errorString())};
    if (widgets == 0)
        return {ERR_NOT_A_PANEL, "the form holds no widget"};
    return {};
}

} // namespace stelmo::engine
