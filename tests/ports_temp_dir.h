// A scratch directory for the port tests, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class PortsTempDir {
public:
    PortsTempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "stelmo-ports-XXXXXX");
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~PortsTempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    bool ok() const { return !path_.empty(); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The whole content of a file ("" when it cannot be read).
inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
