#pragma once

// Where this build of Tolvin points. Reserved example hosts stand here until a
// deployment names its real ones; change them together, in this file only.

// The page the window shows when config.json names none.
inline constexpr wchar_t DEFAULT_SERVER_URL[] = L"https://chat.tolvin.example/hangout";

// The service's web origin; the download page lives below it.
inline constexpr wchar_t SERVICE_ORIGIN[] = L"https://tolvin.example";
inline constexpr wchar_t DOWNLOAD_PAGE_PATH[] = L"/download/windows-native";

// The release repository: the update script fetches
// <base>/releases/latest/download/native-latest.txt and accepts archives only
// below <base>/releases/download/. The build writes it into the script.
inline constexpr wchar_t RELEASE_REPOSITORY[] = L"https://code.tolvin.example/tolvin/tolvin-native";
