#include "serialport/removed_device.h"

namespace hp {

namespace {
constexpr int ErrorInvalidFunction = 1, ErrorFileNotFound = 2, ErrorAccessDenied = 5, ErrorBadCommand = 22,
              ErrorGenFailure = 31, ErrorNotSupported = 50, ErrorOperationAborted = 995,
              ErrorDeviceNotConnected = 1167, ErrorDeviceRemoved = 1617;
} // namespace

bool MeansDeviceGone(int Error, bool OwnCancel)
{
    switch (Error) {
    case ErrorFileNotFound:
    case ErrorAccessDenied:
    case ErrorBadCommand:
    case ErrorGenFailure:
    case ErrorDeviceNotConnected:
    case ErrorDeviceRemoved:
        return true;
    case ErrorOperationAborted:
        return !OwnCancel;
    default:
        return false;
    }
}

bool RefusedFlushCountsAsDone(int FlushError, int QueueError, int Queued)
{
    return (FlushError == ErrorInvalidFunction || FlushError == ErrorNotSupported) && QueueError == 0 && Queued == 0;
}

} // namespace hp
