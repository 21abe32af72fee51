// The helper's command line comes from whoever starts it; no argument list may
// crash the parser or make it read past an argument.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Arguments are separated by zero bytes; each byte becomes one wide character,
    // with a few bytes mapped onto the option names so they come up often.
    std::vector<std::wstring> args(1);
    for (size_t i = 0; i < size; ++i) {
        switch (data[i]) {
        case 0:
            args.emplace_back();
            break;
        case 1:
            args.back() += L"--window";
            break;
        case 2:
            args.back() += L"--self";
            break;
        case 3:
            args.back() += L"--all-except";
            break;
        default:
            args.back() += static_cast<wchar_t>(data[i]);
        }
    }
    const HelperOptions options =
        parseHelperOptions(args, [](uint64_t handle) { return static_cast<uint32_t>(handle); });
    // All-except mode needs the option with a value after it somewhere.
    bool allExceptGiven = false;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        allExceptGiven = allExceptGiven || args[i] == L"--all-except";
    }
    if (options.allExcept != allExceptGiven) {
        __builtin_trap();
    }
    return 0;
}
