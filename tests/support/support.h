// Helpers every kind of test uses: a scratch directory, reading a file whole,
// capturing stderr, splitting text into lines and counting open descriptors.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace support {

// A scratch directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // False when no directory could be made.
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    // The path of `name` inside the directory.
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes `content` to file(`name`), creating directories on the way, and
    // returns its path.
    std::string write(const std::string &name, std::string_view content) const;

private:
    std::string path_;
};

// The whole content of the file at `path` (empty when unreadable).
std::string read_file(const std::string &path);

// The lines of `text`, without their newlines.
std::vector<std::string> lines_of(const std::string &text);

// How many file descriptors this process has open, to catch leaks.
int open_descriptors();

// Everything written to stderr (fd 2) between construction and text().
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Stops capturing (once) and returns what was written.
    std::string text();

private:
    int saved_ = -1;
    int file_ = -1;
    std::string text_;
};

} // namespace support
