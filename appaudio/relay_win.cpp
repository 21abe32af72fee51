#include "appaudio/app_audio_win.h"

#include "appaudio/relay.h"
#include "shell/shell_state_win.h"

void readPcm(HWND window, std::shared_ptr<AppAudio> session, HANDLE output) {
    PcmChunker chunker;
    uint8_t buffer[PCM_READ_SIZE];
    DWORD got = 0;
    while (ReadFile(output, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        // What the helper wrote before it was ready is no part of the share.
        if (!session->startReported) continue;
        std::optional<std::wstring> text = chunker.add(buffer, got);
        if (!text) continue;
        auto* chunk = new PcmChunk{session, std::move(*text)};
        // No flow control: a chunk the queue will not take is dropped.
        if (!postRecord(window, WM_APPAUDIO_PCM, 0, chunk)) delete chunk;
    }
    CloseHandle(output);
    postSessionRecord(window, WM_APPAUDIO_ENDED, 0, std::move(session));
}

void onAppAudioPcm(LPARAM lParam) {
    const std::unique_ptr<PcmChunk> chunk(reinterpret_cast<PcmChunk*>(lParam));
    // Chunks that would reach the page before it heard the start, or from a stopped
    // or replaced session, are dropped.
    if (isCurrentAppAudio(chunk->session) && chunk->session->startAnnounced)
        postToPage(chunk->text);
}
