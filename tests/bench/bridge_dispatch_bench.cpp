// How many page messages per second the request reader and reply builder get
// through, on the kinds of text the page really posts. The dispatcher runs on
// the user-interface thread, so this is time the window cannot paint.

#include "bridge/activity.h"
#include "bridge/page_requests.h"
#include "bridge/page_scripts.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

struct Sample {
    const wchar_t* text;
    PageRequest request;
};

const Sample MESSAGES[] = {
    {L"{\"type\":\"appAudioStart\",\"id\":12,\"windowId\":\"132004\"}", PageRequest::AppAudioStart},
    {L"{\"type\":\"setInCall\",\"inCall\":true}", PageRequest::SetInCall},
    {L"{\"type\":\"scanActivity\",\"callbackId\":7}", PageRequest::ScanActivity},
    {L"{\"type\":\"windowZoom\"}", PageRequest::WindowZoom},
    {L"{\"type\":\"updateState\"}", PageRequest::UpdateState},
    {L"{\"type\":\"setPushToTalkKey\",\"key\":\"KeyV\",\"code\":86}",
     PageRequest::SetPushToTalkKey},
    {L"{\"type\":\"chatTyping\",\"channel\":\"general\",\"user\":\"someone\"}", PageRequest::None},
};

// What the dispatcher derives from one message, folded into a number so the
// work cannot be optimised away and its results can be checked.
std::size_t handle(std::wstring_view text) {
    switch (recognizeRequest(text)) {
    case PageRequest::ScanActivity:
        return nativeReplyScript(readIntegerField(text, L"callbackId"),
                                 activityResult(matchActivity(L"notepad.exe")))
            .size();
    case PageRequest::AppAudioStart:
        return static_cast<std::size_t>(readIntegerField(text, L"id")) +
               readDigitField(text, L"windowId").size();
    case PageRequest::SetInCall:
        return readInCall(text) ? 1 : 0;
    default:
        return 0;
    }
}

} // namespace

int main() {
    std::size_t expected = 0;
    for (const Sample& sample : MESSAGES) {
        if (recognizeRequest(sample.text) != sample.request) {
            std::fprintf(stderr, "misread: %ls\n", sample.text);
            return 1;
        }
        expected += handle(sample.text);
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::size_t rounds = 0;
    std::size_t total = 0;
    while (Clock::now() - start < std::chrono::seconds(1)) {
        for (int i = 0; i < 100; ++i, ++rounds) {
            for (const Sample& sample : MESSAGES) total += handle(sample.text);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (total != expected * rounds) {
        std::fprintf(stderr, "results differ between rounds\n");
        return 1;
    }
    std::printf("dispatcher core: %.0f messages per second\n",
                static_cast<double>(rounds * std::size(MESSAGES)) / seconds);
    return 0;
}
