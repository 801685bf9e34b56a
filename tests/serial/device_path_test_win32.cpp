// On Windows a COM name becomes its device-namespace path, which also reaches
// ports numbered 10 and above.
#include "serialport/serial_backend.h"

#include <gtest/gtest.h>

#include "serialport/serial_port.h"

namespace hp {
namespace {

TEST(DevicePath, RewritesComNamesToTheDeviceNamespace)
{
    struct TCase {
        const char* Name;
        const char* Path;
    };
    const auto backend = CreateSerialBackend();
    TSerialPort port;
    for (const TCase& c : {TCase{"COM5", "\\\\.\\COM5"}, TCase{"com5", "\\\\.\\COM5"},
                           TCase{"COM12", "\\\\.\\COM12"}, TCase{"COM0", "COM0"}, TCase{"COMA", "COMA"},
                           TCase{"ttyACM0", "ttyACM0"}, TCase{"/dev/ttyS0", "\\\\.\\COM1"},
                           TCase{"/dev/ttySx", "/dev/ttySx"}}) {
        port.GetComNr(c.Name);
        EXPECT_EQ(backend->DevicePath(c.Name, port.ComNr()), c.Path) << c.Name;
    }
}

} // namespace
} // namespace hp
