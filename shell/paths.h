#pragma once

#include <string>
#include <string_view>

// The folder of a program path: everything before its last backslash, which
// never ends in one, so a closing quote after it is never read as escaped.
// Empty when the path names no folder.
std::wstring folderOf(std::wstring_view programPath);
