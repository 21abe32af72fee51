#include "capture/options.h"

#include <limits>

uint64_t readDecimal(const std::wstring& text, uint64_t max) {
    uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            break;
        }
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (value > (max - digit) / 10) {
            return max;
        }
        value = value * 10 + digit;
    }
    return value;
}

HelperOptions parseHelperOptions(const std::vector<std::wstring>& args,
                                 const WindowOwnerLookup& windowOwner) {
    HelperOptions options;
    constexpr uint64_t PID_MAX = std::numeric_limits<uint32_t>::max();
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::wstring& name = args[i];
        const std::wstring& value = args[i + 1];
        if (name == L"--window") {
            options.targetPid =
                windowOwner(readDecimal(value, std::numeric_limits<uint64_t>::max()));
        } else if (name == L"--self") {
            options.otherPid = static_cast<uint32_t>(readDecimal(value, PID_MAX));
        } else if (name == L"--all-except") {
            options.allExcept = true;
            options.otherPid = static_cast<uint32_t>(readDecimal(value, PID_MAX));
        }
    }
    return options;
}

bool namesTarget(const HelperOptions& options) {
    return options.allExcept || options.targetPid != 0;
}
