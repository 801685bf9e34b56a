#pragma once
// How the Windows USB serial driver (usbser.sys) tells that its device was
// unplugged, and when a flush it refuses may still count as done. The numbers
// are Windows error codes; kept free of any platform call so that the rule is
// tested on every build.

namespace hp {

// The Windows error numbers that the comm driver's answers are judged by.
namespace winerr {
constexpr int InvalidFunction = 1, FileNotFound = 2, AccessDenied = 5, InvalidHandle = 6, BadCommand = 22,
              GenFailure = 31, NotSupported = 50, InvalidName = 123, Busy = 170, OperationAborted = 995,
              Timeout = 1460, DeviceNotConnected = 1167, DeviceRemoved = 1617;
} // namespace winerr

// True when a failed serial call's error number says that the device is gone:
// which one a removed device gives depends on the Windows version (the file,
// access, command, device or removal errors). An aborted operation counts
// only when the program did not cancel it itself (OwnCancel false).
bool MeansDeviceGone(int Error, bool OwnCancel);

// A driver that does not implement the flush (ERROR_INVALID_FUNCTION,
// ERROR_NOT_SUPPORTED) has still sent everything once its output queue is
// empty: every write completed before the flush was asked for. QueueError is
// the outcome of the output-queue query that follows the refusal, Queued its
// count. Any other flush error stays an error.
bool RefusedFlushCountsAsDone(int FlushError, int QueueError, int Queued);

} // namespace hp
