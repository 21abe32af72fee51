#include "appaudio/session.h"

namespace {

constexpr std::size_t ERROR_TEXT_LIMIT = 4096;
constexpr std::size_t ERROR_TEXT_KEPT = 16;

} // namespace

std::wstring helperPathIn(std::wstring_view programFolder) {
    if (programFolder.empty()) return {};
    return std::wstring(programFolder) + L"\\" + HELPER_FILE_NAME;
}

std::wstring helperCommandLine(std::wstring_view helper, std::wstring_view windowId,
                               uint32_t shellPid) {
    std::wstring line = L"\"";
    line += helper;
    line += L"\" ";
    if (windowId.empty()) {
        line += L"--all-except ";
    } else {
        line += L"--window ";
        line += windowId;
        line += L" --self ";
    }
    line += std::to_wstring(shellPid);
    return line;
}

std::wstring startedMessage(int id, bool ok) {
    return L"{\"type\":\"appAudio:started\",\"id\":" + std::to_wstring(id) + L",\"ok\":" +
           (ok ? L"true}" : L"false}");
}

bool ReadinessScanner::add(std::string_view bytes) {
    text += bytes;
    const bool ready = text.find("ready") != std::string::npos;
    if (text.size() > ERROR_TEXT_LIMIT) text.erase(0, text.size() - ERROR_TEXT_KEPT);
    return ready;
}
