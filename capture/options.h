// Command line of the capture helper: which process tree to capture.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct HelperOptions {
    bool allExcept = false;
    // The value of --self or of --all-except; the later option wins.
    uint32_t otherPid = 0;
    // The owner of the window named by --window (0: none).
    uint32_t targetPid = 0;
};

// Gives the id of the process that owns a window handle, or 0 when there is none.
using WindowOwnerLookup = std::function<uint32_t(uint64_t)>;

// Reads the digits at the start of text as a decimal number; reading stops at the
// first non-digit and no digits give 0. A number above max reads as max, so an
// overlong value can never wrap round to name some other process or window.
uint64_t readDecimal(const std::wstring& text, uint64_t max);

// args are the arguments after the program name. Every argument that has a
// following one is compared with the option names; a value is itself compared in
// the next round, and the last argument is never taken as an option.
HelperOptions parseHelperOptions(const std::vector<std::wstring>& args,
                                 const WindowOwnerLookup& windowOwner);

// False when the command line names nothing to capture (the usage case).
bool namesTarget(const HelperOptions& options);
