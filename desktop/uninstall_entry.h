#pragma once

// The installer's entry under Settings > Apps names the folder it installed to
// (InstallLocation) and the version it installed (DisplayVersion). A self-update
// copies a newer release over that folder and leaves the entry as it was, so the
// program that runs from the folder puts its own version there.

#include <string_view>

// Whether two folder paths name the same folder as Windows compares them: case
// does not matter (ASCII letters; other characters must match as they are), a
// slash is a backslash, and trailing separators are ignored. Empty names none.
bool sameFolder(std::wstring_view a, std::wstring_view b);

// Whether a program of `ownVersion` that runs from `programFolder` should write
// its version to an entry holding `installLocation` and `displayVersion`.
bool entryNeedsVersion(std::wstring_view installLocation, std::wstring_view displayVersion,
                       std::wstring_view programFolder, std::wstring_view ownVersion);
