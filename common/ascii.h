#pragma once

// Case folding of ASCII letters alone: the names, schemes and paths compared
// with it differ only there, and no locale may change the answer.
inline wchar_t lowerAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}
