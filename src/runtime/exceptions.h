#pragma once
// The program's own exception hierarchy. Everything that the run loop reports
// with its class name and message derives from Exception; the address of the
// code that raised it is kept for the one-line report.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace hp {

class Exception : public std::exception {
public:
    explicit Exception(std::string Message, const void* Address = nullptr)
        : FMessage(std::move(Message)), FAddress(Address) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const { return FMessage; }
    // Where the exception was raised: the return address inside the caller of
    // the Raise... helper, or null when nobody recorded it.
    const void* Address() const { return FAddress; }
    void SetAddress(const void* Address) { FAddress = Address; }
    virtual const char* ClassName() const { return "Exception"; }

private:
    std::string FMessage;
    const void* FAddress;
};

// A text that should have been a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EConvertError"; }
};

// A file that could not be opened, sized or read.
class EInOutError : public Exception {
public:
    EInOutError(std::string Message, int ErrorCode, const void* Address = nullptr)
        : Exception(std::move(Message), Address), FErrorCode(ErrorCode) {}
    int ErrorCode() const { return FErrorCode; }
    const char* ClassName() const override { return "EInOutError"; }

private:
    int FErrorCode;
};

// A device-map value that cannot be read as text.
class ERegistryException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ERegistryException"; }
};

// Raise helpers: kept out of line so that the address they record is the
// caller's, which is what the report should point at.
[[noreturn]] void RaiseConvertError(const std::string& Message);
[[noreturn]] void RaiseInOutError(const std::string& Message, int ErrorCode);
[[noreturn]] void RaiseRegistryError(const std::string& Message);

// Strict conversion of a decimal text to a signed 32-bit integer: optional
// leading blanks or tabs, an optional sign, then digits and nothing else.
// Anything else raises EConvertError with the text "\"<S>\" is an invalid integer".
std::int32_t StrToInt(const std::string& S);

} // namespace hp
