#pragma once

#include <array>

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

// Publishers besides the running program's own whose signature an update may
// carry, by signer certificate subject: how a new certificate subject is rolled
// out (docs/release.md). Empty while every release is signed as the running one.
struct PublisherName {
    const wchar_t* commonName;
    const wchar_t* organisation;
};
inline constexpr std::array<PublisherName, 0> ACCEPTED_PUBLISHERS{};
