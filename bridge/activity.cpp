#include "bridge/activity.h"

#include "common/ascii.h"

// Two rows may share a display name: a game can ship under more than one
// executable.
const ActivityRow ACTIVITY_TABLE[ACTIVITY_ROWS] = {
    {L"valorant.exe", L"VALORANT"},
    {L"leagueclient.exe", L"League of Legends"},
    {L"cs2.exe", L"Counter-Strike 2"},
    {L"dota2.exe", L"Dota 2"},
    {L"overwatch.exe", L"Overwatch 2"},
    {L"r5apex.exe", L"Apex Legends"},
    {L"fortniteclient-win64-shipping.exe", L"Fortnite"},
    {L"minecraft.exe", L"Minecraft"},
    {L"javaw.exe", L"Minecraft"},
    {L"robloxplayerbeta.exe", L"Roblox"},
    {L"rocketleague.exe", L"Rocket League"},
    {L"gta5.exe", L"Grand Theft Auto V"},
    {L"eldenring.exe", L"ELDEN RING"},
    {L"cyberpunk2077.exe", L"Cyberpunk 2077"},
    {L"baldursgate3.exe", L"Baldur's Gate 3"},
    {L"bg3.exe", L"Baldur's Gate 3"},
    {L"spotify.exe", L"Spotify"},
    {L"code.exe", L"Visual Studio Code"},
    {L"devenv.exe", L"Visual Studio"},
};

namespace {

bool equalsLowered(std::wstring_view exeName, std::wstring_view tableName) {
    if (exeName.size() != tableName.size()) return false;
    for (std::size_t i = 0; i < exeName.size(); ++i) {
        if (lowerAscii(exeName[i]) != lowerAscii(tableName[i])) return false;
    }
    return true;
}

} // namespace

const wchar_t* matchActivity(std::wstring_view exeName) {
    for (const ActivityRow& row : ACTIVITY_TABLE) {
        if (equalsLowered(exeName, row.exeName)) return row.displayName;
    }
    return nullptr;
}

std::wstring activityResult(const wchar_t* displayName) {
    if (displayName == nullptr) return L"null";
    // Display names hold neither quotes nor backslashes, so they go in unescaped.
    return std::wstring(L"{\"name\":\"") + displayName + L"\",\"type\":\"playing\"}";
}
