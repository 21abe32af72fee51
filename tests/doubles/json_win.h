#pragma once

// JSON text for the reports the test doubles write: UTF-16 in, UTF-8 out.

#include <windows.h>

#include <cstdio>
#include <initializer_list>
#include <string>

// Builds one JSON object, member by member; values are JSON text already.
class JsonObject {
  public:
    JsonObject& add(const char* key, const std::string& value) {
        if (text.size() > 1) text += ',';
        text += '"';
        text += key;
        text += "\":";
        text += value;
        return *this;
    }
    std::string str() const { return text + '}'; }

  private:
    std::string text = "{";
};

inline std::string jsonString(const wchar_t* text) {
    if (!text) return "null";
    std::string out = "\"";
    for (const wchar_t* p = text; *p; ++p) {
        const unsigned c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

inline std::string jsonString(const std::wstring& text) {
    return jsonString(text.c_str());
}

inline std::string jsonNumber(long long value) {
    return std::to_string(value);
}

inline std::string jsonBool(bool value) {
    return value ? "true" : "false";
}

inline std::string jsonList(std::initializer_list<long long> values) {
    std::string text = "[";
    for (long long v : values) {
        if (text.size() > 1) text += ',';
        text += std::to_string(v);
    }
    return text + ']';
}

inline std::string jsonRect(const RECT& r) {
    return jsonList({r.left, r.top, r.right, r.bottom});
}

inline std::string jsonText(const char* text) {
    std::string quoted = "\"";
    quoted += text;
    return quoted + '"';
}

inline std::string windowText(HWND window) {
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return jsonString(text);
}

inline std::string windowClass(HWND window) {
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    return jsonString(name);
}

// Microseconds on the machine's monotonic clock, which all processes share, so
// that times reported by different programs compare.
inline long long nowMicros() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

inline std::string jsonHandle(const void* handle) {
    return jsonNumber(static_cast<long long>(reinterpret_cast<uintptr_t>(handle)));
}
