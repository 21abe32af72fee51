#pragma once

// Where this build of Tolvin points. Reserved example hosts stand here until a
// deployment names its real ones; change them together, in this file only.

// The page the window shows when config.json names none.
inline constexpr wchar_t DEFAULT_SERVER_URL[] = L"https://chat.tolvin.example/hangout";

// The service's web origin; the download page lives below it.
inline constexpr wchar_t SERVICE_ORIGIN[] = L"https://tolvin.example";
inline constexpr wchar_t DOWNLOAD_PAGE_PATH[] = L"/download/windows-native";
