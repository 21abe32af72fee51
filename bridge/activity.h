#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Which known game or application a running process is. The process snapshot
// itself is taken by the platform side, which hands each executable name here
// until one matches.

struct ActivityRow {
    const wchar_t* exeName;     // lower case, no path
    const wchar_t* displayName; // ASCII, shown to other users as is
};

inline constexpr std::size_t ACTIVITY_ROWS = 19;
extern const ActivityRow ACTIVITY_TABLE[ACTIVITY_ROWS];

// The display name of the first table row whose executable name equals
// `exeName` after lower-casing A to Z (the only case mapping of the "C" locale
// the program runs in); nullptr when no row matches. Names never match in part.
const wchar_t* matchActivity(std::wstring_view exeName);

// The answer the page gets: {"name":"<displayName>","type":"playing"}, or null
// when `displayName` is nullptr.
std::wstring activityResult(const wchar_t* displayName);
