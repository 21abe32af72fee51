#include "update/update_flow.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// The update script's output is whatever PowerShell printed: any bytes, any
// length. The state that follows is always one of the four, and the version
// only digits and dots.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view output(reinterpret_cast<const char*>(data), size);
    const UpdateState next = nextUpdateState({L"manual", L"1.0"}, true, output);
    if (next.status != L"idle" && next.status != L"ready" && next.status != L"manual")
        __builtin_trap();
    if (next.detail.find_first_not_of(L"0123456789.") != std::wstring::npos) __builtin_trap();
    updatePushScript(next);
    return 0;
}
