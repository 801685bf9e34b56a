#include "serialport/removed_device.h"

namespace hp {

bool MeansDeviceGone(int Error, bool OwnCancel)
{
    using namespace winerr;
    switch (Error) {
    case FileNotFound:
    case AccessDenied:
    case BadCommand:
    case GenFailure:
    case DeviceNotConnected:
    case DeviceRemoved:
        return true;
    case OperationAborted:
        return !OwnCancel;
    default:
        return false;
    }
}

bool RefusedFlushCountsAsDone(int FlushError, int QueueError, int Queued)
{
    return (FlushError == winerr::InvalidFunction || FlushError == winerr::NotSupported) && QueueError == 0 &&
           Queued == 0;
}

} // namespace hp
