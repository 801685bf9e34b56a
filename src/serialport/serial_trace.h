#pragma once
// The trace's reading of the serial object's status reports: one trace line
// per event, with the outcome the object's error state gives.
#include "serialport/serial_port.h"

namespace hp {

// A status hook that writes the trace (see runtime/trace.h). Each serial
// object gets its own: it keeps the count of bytes sent since its open.
THookSerialStatus SerialTrace();

} // namespace hp
