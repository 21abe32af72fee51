#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Standard Base64 (the "A"-"Z", "a"-"z", "0"-"9", "+", "/" alphabet, "=" padding, no
// line breaks) of `size` bytes, appended to `out`: 4 characters per 3 bytes, the last
// group padded to 4.
void appendBase64(std::wstring& out, const uint8_t* bytes, std::size_t size);

// How many characters appendBase64 adds for `size` bytes.
constexpr std::size_t base64Length(std::size_t size) {
    return 4 * ((size + 2) / 3);
}
