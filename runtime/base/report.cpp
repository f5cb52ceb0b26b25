#include "runtime/base/report.h"

#include "runtime/base/text.h"

#include <string>
#include <unistd.h>

namespace stelmo {

void report(std::string_view message)
{
    std::string line = "stelmo: ";
    line += message;
    line += '\n';
    write_all(STDERR_FILENO, line); // should stderr be gone, nothing better can be done
}

} // namespace stelmo
