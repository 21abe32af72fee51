#include "shell/paths.h"

std::wstring folderOf(std::wstring_view programPath) {
    const std::size_t slash = programPath.rfind(L'\\');
    return std::wstring(programPath.substr(0, slash == std::wstring_view::npos ? 0 : slash));
}
