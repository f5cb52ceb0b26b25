// Finding, reading and vetting panel files before the form loader sees them.
//
// The form loader trusts its input: it recurses once per nesting level and
// builds every widget a document lists. A panel file is data from disk, so it
// is bounded here first: size, nesting depth and widget count, no document
// type declaration (Designer never writes one, and it is where entity tricks
// live), and well-formed XML.
#include "runtime/engine/internal.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <cerrno>
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

} // namespace

std::vector<std::string> panel_file_candidates(std::string_view name, std::string_view exe_dir,
                                               std::string_view work_dir)
{
    if (!name.empty() && name.front() == '/')
        return {std::string(name)};
    std::vector<std::string> candidates;
    if (!exe_dir.empty()) { // empty when the executable's path is unknown
        candidates.push_back(join(exe_dir, name));
        candidates.push_back(join(join(parent_of(exe_dir), "share/stelmo"), name));
    }
    candidates.push_back(work_dir.empty() ? std::string(name) : join(work_dir, name));
    return candidates;
}

std::string find_panel_file(std::string_view name, std::string_view exe_dir,
                            std::string_view work_dir)
{
    for (const std::string &path : panel_file_candidates(name, exe_dir, work_dir)) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0)
            return path;
    }
    return {};
}

bool read_panel_file(const std::string &path, QByteArray &data, std::string &error)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It changes
    // nothing for regular files, the only kind read below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (::fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
    } else if (st.st_size > FILE_MAX_BYTES) {
        error = "too large for a panel file (" + std::to_string(st.st_size) + " bytes, at most " +
                std::to_string(FILE_MAX_BYTES) + ")";
    } else {
        // The file may change while it is read: read until its end or one
        // byte past the limit, and judge what arrived.
        constexpr qsizetype LIMIT = FILE_MAX_BYTES + 1;
        data.resize(std::min<qsizetype>(static_cast<qsizetype>(st.st_size) + 1, LIMIT));
        qsizetype got = 0;
        ok = true;
        for (;;) {
            if (got == data.size()) {
                if (got == LIMIT)
                    break;
                data.resize(std::min<qsizetype>(got * 2, LIMIT));
            }
            const ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(data.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0)
                break;
            got += n;
        }
        data.resize(got);
        data.squeeze();
        if (ok && got == 0) {
            error = "the file is empty";
            ok = false;
        } else if (ok && got > FILE_MAX_BYTES) {
            error = "too large for a panel file (more than " + std::to_string(FILE_MAX_BYTES) +
                    " bytes)";
            ok = false;
        }
    }
    ::close(fd);
    if (!ok)
        data.clear();
    return ok;
}

bool check_form_document(const QByteArray &data, std::string &error)
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
            error = where() + "a panel file has no document type declaration";
            return false;
        case QXmlStreamReader::EntityReference:
            error = where() + "unknown entity &" + shown(xml.name().toString()) + ";";
            return false;
        case QXmlStreamReader::StartElement:
            ++depth;
            if (depth == 1 && xml.name() != QLatin1String("ui")) {
                error = "not a Qt Designer form (the document is <" + shown(xml.name().toString()) +
                        ">, not <ui>)";
                return false;
            }
            if (depth > NESTING_MAX) {
                error =
                    where() + "elements nested more than " + std::to_string(NESTING_MAX) + " deep";
                return false;
            }
            if (++elements > ELEMENTS_MAX) {
                error = where() + "more than " + std::to_string(ELEMENTS_MAX) + " elements";
                return false;
            }
            if (xml.name() == QLatin1String("widget") && ++widgets > WIDGETS_MAX) {
                error = where() + "more than " + std::to_string(WIDGETS_MAX) + " widgets";
                return false;
            }
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    if (xml.hasError()) {
        error = where() + shown(xml.errorString());
        return false;
    }
    if (widgets == 0) {
        error = "the form holds no widget";
        return false;
    }
    return true;
}

} // namespace stelmo::engine
