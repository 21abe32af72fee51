#include <gtest/gtest.h>

#include "desktop/uninstall_entry.h"

namespace {

TEST(UninstallEntry, TakesTheRunningVersionOnlyInTheFolderItNames) {
    const wchar_t folder[] = L"C:\\Users\\Ann\\AppData\\Local\\Programs\\Tolvin";
    const struct {
        const wchar_t* installLocation;
        const wchar_t* displayVersion;
        bool needed;
    } cases[] = {
        {folder, L"2.0.9", true},
        {folder, L"2.1.1", false},
        {L"c:\\users\\ann\\appdata\\local\\programs\\TOLVIN\\", L"2.0.9", true},
        {L"C:/Users/Ann/AppData/Local/Programs/Tolvin//", L"2.0.9", true},
        {L"C:\\Users\\Ann\\AppData\\Local\\Programs\\Tolvin2", L"2.0.9", false},
        {L"C:\\Users\\Ann\\AppData\\Local\\Programs", L"2.0.9", false},
        {L"", L"2.0.9", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(entryNeedsVersion(c.installLocation, c.displayVersion, folder, L"2.1.1"),
                  c.needed)
            << c.installLocation << " " << c.displayVersion;
    }
}

} // namespace
