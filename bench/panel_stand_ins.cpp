// Stand-in panel services (see stand_ins.h).
#include "bench/stand_ins.h"

#include "runtime/services.h"

namespace bench {
int direction_index = 1;
double shown_value = 0;
} // namespace bench

extern "C" int GetCtrlIndex(int, int, int *index)
{
    *index = bench::direction_index;
    return 0;
}

extern "C" int SetCtrlVal(int, int, double value)
{
    bench::shown_value = value;
    return 0;
}
