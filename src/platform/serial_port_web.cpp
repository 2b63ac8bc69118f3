// The serial port's advice in the browser, where the page's port stands in for the platform's.
#include "platform/serial_port.h"

namespace serial {

// A page cannot reach an adapter's driver settings.
const char* latency_advice() {
    return "The browser cannot change an adapter's latency timer: set it to 1 ms in the adapter's driver settings, "
           "or update with the console updater, which asks the driver for low latency on Linux.";
}

}  // namespace serial
