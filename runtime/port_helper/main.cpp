// stelmo-port: the port helper stelmo starts to reach a port device.
#include "runtime/port_helper/port_helper.h"

int main(int argc, char **argv)
{
    return stelmo::ports::helper::helper_main(argc, argv);
}
