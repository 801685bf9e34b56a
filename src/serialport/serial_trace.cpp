#include "serialport/serial_trace.h"

#include "runtime/trace.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace hp {

namespace {

std::string Outcome(const TSerialPort& Ser)
{
    if (Ser.LastError() == sOK)
        return "OK";
    return "error " + std::to_string(Ser.LastError()) + " " + Ser.LastErrorDesc();
}

std::string LineSettings(const TSerialLineSettings& S)
{
    static constexpr char Parities[] = "NOEMS";
    static const char* const StopBits[] = {"1", "1.5", "2"};
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%04X", static_cast<unsigned>(S.Flags));
    return std::to_string(S.BaudRate) + " baud " + std::to_string(S.ByteSize) +
           (S.Parity <= 4 ? Parities[S.Parity] : '?') + (S.StopBits <= 2 ? StopBits[S.StopBits] : "?") +
           ", flags " + flags;
}

// Value "<head> <number>" (or "<number> <tail>"): split at the blank.
std::string Before(const std::string& Value, std::size_t Blank)
{
    return Blank == std::string::npos ? Value : Value.substr(0, Blank);
}

std::string After(const std::string& Value, std::size_t Blank)
{
    return Blank == std::string::npos ? std::string() : Value.substr(Blank + 1);
}

} // namespace

THookSerialStatus SerialTrace()
{
    return [sent = std::uint64_t{0}, open = false](TSerialPort* Ser, THookSerialReason Reason,
                                                   const std::string& Value) mutable {
        std::string line;
        switch (Reason) {
        case HR_Open:
            sent = 0;
            open = Ser->LastError() == sOK;
            line = "open " + Value + ": " + Outcome(*Ser);
            break;
        case HR_Connect:
            // The open said how it went; only a device that gave no sign of
            // life is news here.
            if (Ser->LastError() == sOK)
                return;
            line = "connect " + Value + ": " + Outcome(*Ser);
            break;
        case HR_LineSettings:
            line = "line settings " + LineSettings(Ser->DCB) + ": " + Outcome(*Ser);
            break;
        case HR_Purge:
            line = "purge: " + Outcome(*Ser);
            break;
        case HR_Flush:
            line = "flush: " + Outcome(*Ser);
            break;
        case HR_QueueCount:
            line = "queue " + Value + ": " + Outcome(*Ser);
            break;
        case HR_WriteCount:
            sent += std::stoull(Value);
            line = "sent " + Value + " bytes, " + std::to_string(sent) + " since the open";
            break;
        case HR_ReadCount:
            line = "received " + Value + " bytes: " + Outcome(*Ser);
            break;
        case HR_Timeout:
            line = "time-out after " + Value + " ms";
            break;
        case HR_WaitFailed:
            line = "wait for input ended by the device: ";
            line += Value == "0" ? "no reason given" : Value + " " + TSerialPort::GetErrorDesc(std::stoi(Value));
            break;
        case HR_CallFailed: {
            const std::size_t blank = Value.rfind(' ');
            const std::string number = After(Value, blank);
            line = Before(Value, blank) + " failed: " + number + " " + TSerialPort::GetErrorDesc(std::stoi(number));
            break;
        }
        case HR_Judged:
            line = Value;
            break;
        case HR_Command:
            line = "command \"" + Value + "\"";
            break;
        case HR_Reply: {
            const std::size_t blank = Value.find(' ');
            line = "reply after " + Before(Value, blank) + " ms: \"" + After(Value, blank) + "\"";
            break;
        }
        case HR_SerialClose:
            // Closing what is not open (again, at the object's end) is no news.
            if (!open)
                return;
            open = false;
            line = "close " + Value;
            break;
        case HR_CanRead:
        case HR_CanWrite:
        case HR_Wait:
            return;
        }
        rt::TraceLine(line);
    };
}

} // namespace hp
