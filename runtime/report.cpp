#include "runtime/report.h"

#include <string>
#include <unistd.h>

namespace stelmo {

void report(std::string_view message)
{
    std::string line = "stelmo: ";
    line += message;
    line += '\n';
    const char *p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0)
            return; // stderr is gone; nothing better to do
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace stelmo
