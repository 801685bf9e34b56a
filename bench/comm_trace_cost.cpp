// What the trace costs the Windows upload's byte loop, counted on any build:
// the serial object sends byte by byte over the comm backend, whose driver
// answers every call at once and does nothing, so that only the program's own
// logic is left to count. Its time means little (a real driver's calls cost
// far more); count its instructions instead, which stay the same under load:
//
//   valgrind --tool=callgrind '--toggle-collect=*SendBytes*'
//            comm-trace-cost plain|hook|recorder|traced <bytes> <trace file>
//
// plain:    no trace (hiltpush.exe without --trace)
// hook:     the serial object's trace hook only
// recorder: the driver's answers recorded only
// traced:   both (hiltpush.exe --trace=FILE)
#include "runtime/trace.h"
#include "serialport/comm_backend.h"
#include "serialport/comm_recorder.h"
#include "serialport/serial_port.h"
#include "serialport/serial_trace.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using namespace hp;

// A device that takes every byte at once and never has anything to say.
class TNullDriver {
public:
    int Open(const std::string&) { return FOpen = true, 0; }
    void Setup(int) {}
    bool IsOpen() const { return FOpen; }
    std::uint64_t Handle() const { return FOpen ? 1 : ~std::uint64_t{0}; }
    void Close() { FOpen = false; }
    int GetLineSettings(TSerialLineSettings&) { return 0; }
    int SetLineSettings(const TSerialLineSettings&) { return 0; }
    int SetRTS(bool) { return 0; }
    int SetDTR(bool) { return 0; }
    int ModemStatus(std::uint32_t& Word) { return Word = 0, 0; }
    int Purge(unsigned) { return 0; }
    TCommStatus Status() { return {}; }
    int FlushBuffers() { return 0; }
    TCommEvent ArmWait() { return {}; }
    bool AwaitWait(int) { return false; }
    TCommEvent EndWait() { return {}; }
    int SetReadTimeouts(int) { return 0; }
    TCommTransfer Transfer(void*, int Length, int, bool) { return {Length, 0, false}; }

private:
    bool FOpen = false;
};

// The loop of the upload, kept out of line so that callgrind can count it
// alone.
[[gnu::noinline]] bool SendBytes(TSerialPort& Ser, long Count)
{
    for (long i = 0; i < Count; ++i) {
        Ser.SendByte(static_cast<std::uint8_t>(i * 151));
        if (Ser.LastError() != sOK)
            return false;
    }
    return true;
}

int Usage()
{
    std::fprintf(stderr, "usage: comm-trace-cost plain|hook|recorder|traced <bytes> <trace file>\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return Usage();
    const std::string mode = argv[1];
    const long count = std::strtol(argv[2], nullptr, 10);
    const bool hook = mode == "hook" || mode == "traced";
    const bool recorder = mode == "recorder" || mode == "traced";
    if ((!hook && !recorder && mode != "plain") || count < 0)
        return Usage();

    if (hook || recorder)
        hp::rt::StartTrace(argv[3]);
    std::unique_ptr<TSerialBackend> backend;
    if (recorder)
        backend = std::make_unique<TCommBackend<TCommRecorder<TNullDriver>>>(&hp::rt::TraceRecord);
    else
        backend = std::make_unique<TCommBackend<TNullDriver>>();
    TSerialPort ser(std::move(backend));
    if (hook)
        ser.SetOnStatus(SerialTrace());
    ser.Connect("COM3");
    if (ser.LastError() != sOK)
        return std::fprintf(stderr, "comm-trace-cost: open: %s\n", ser.LastErrorDesc().c_str()), 1;
    if (!SendBytes(ser, count))
        return std::fprintf(stderr, "comm-trace-cost: send: %s\n", ser.LastErrorDesc().c_str()), 1;
    ser.CloseSocket();
    return 0;
}
