#include "runtime/exceptions.h"

#include <limits>

namespace hp {

[[gnu::noinline]] void RaiseConvertError(const std::string& Message)
{
    throw EConvertError(Message, __builtin_extract_return_addr(__builtin_return_address(0)));
}

[[gnu::noinline]] void RaiseInOutError(const std::string& Message, int ErrorCode)
{
    throw EInOutError(Message, ErrorCode, __builtin_extract_return_addr(__builtin_return_address(0)));
}

[[gnu::noinline]] void RaiseRegistryError(const std::string& Message)
{
    throw ERegistryException(Message, __builtin_extract_return_addr(__builtin_return_address(0)));
}

[[gnu::noinline]] std::int32_t StrToInt(const std::string& S)
{
    const void* caller = __builtin_extract_return_addr(__builtin_return_address(0));
    auto fail = [&]() -> std::int32_t {
        throw EConvertError("\"" + S + "\" is an invalid integer", caller);
    };
    std::size_t i = 0;
    while (i < S.size() && (S[i] == ' ' || S[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < S.size() && (S[i] == '+' || S[i] == '-')) {
        negative = S[i] == '-';
        ++i;
    }
    if (i == S.size())
        return fail();
    std::int64_t value = 0;
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                                        : std::numeric_limits<std::int32_t>::max();
    for (; i < S.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(S[i]);
        if (c < '0' || c > '9')
            return fail();
        value = value * 10 + (c - '0');
        if (value > limit)
            return fail();
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace hp
