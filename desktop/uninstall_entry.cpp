#include "desktop/uninstall_entry.h"

#include "common/ascii.h"

namespace {

std::wstring_view withoutTrailingSeparators(std::wstring_view path) {
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.remove_suffix(1);
    return path;
}

wchar_t folded(wchar_t c) {
    if (c == L'/') return L'\\';
    return lowerAscii(c);
}

} // namespace

bool sameFolder(std::wstring_view a, std::wstring_view b) {
    a = withoutTrailingSeparators(a);
    b = withoutTrailingSeparators(b);
    if (a.empty() || a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (folded(a[i]) != folded(b[i])) return false;
    }
    return true;
}

bool entryNeedsVersion(std::wstring_view installLocation, std::wstring_view displayVersion,
                       std::wstring_view programFolder, std::wstring_view ownVersion) {
    return displayVersion != ownVersion && sameFolder(installLocation, programFolder);
}
