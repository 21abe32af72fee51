#pragma once

// App-audio sharing, the shell's side: one capture helper per session, started,
// watched and stopped from the user-interface thread, and its PCM stream relayed
// to the page. Each session has three detached workers (status reader, start
// watchdog, PCM reader) and, once stopped, a stop waiter. They share the session
// record by reference and reach the user-interface thread only by posting the
// records below to the main window, which frees them after handling.

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

constexpr UINT WM_APPAUDIO_STARTED = WM_APP + 1; // wParam 1: "ready" seen, 0: the start failed
constexpr UINT WM_APPAUDIO_PCM = WM_APP + 2;
constexpr UINT WM_APPAUDIO_ENDED = WM_APP + 3;

// One session. Each handle has one closer: the life-line the stop or the end
// handler, the process the stop waiter or the end handler, whichever runs while
// the session is still current.
struct AppAudio {
    AppAudio(HANDLE process, HANDLE lifeLine, int id)
        : process(process), lifeLine(lifeLine), id(id) {}

    HANDLE process;
    HANDLE lifeLine; // the helper's standard input; never written, closing it ends the helper
    int id;          // the page's start request id
    // Set by the first of: "ready" seen, the error stream's end, the watchdog. Only
    // the one that sets it posts the start result.
    std::atomic<bool> startReported{false};
    // The page was told the share started (user-interface thread only): sound
    // reaches it only after that.
    bool startAnnounced = false;
};

// The lParam of WM_APPAUDIO_STARTED and WM_APPAUDIO_ENDED.
struct SessionRecord {
    std::shared_ptr<AppAudio> session;
};

// The lParam of WM_APPAUDIO_PCM: the finished page message of one chunk.
struct PcmChunk {
    std::shared_ptr<AppAudio> session;
    std::wstring text;
};

// Whether "tolvin-app-audio.exe" (file or folder) lies beside this program now.
bool helperAvailable();

// Stops any session, then starts the helper for the page's request `id`:
// capturing the window `windowId` (decimal digits) or, when empty, everything but
// this program. The page learns the outcome from "appAudio:started".
void startAppAudio(int id, const std::wstring& windowId);

// Ends the current session, if any, without a word to the page: closes the
// life-line and leaves a waiter that terminates the helper after 1000 ms.
void stopAppAudio();

// The window procedure's handlers; each frees its record.
void onAppAudioStarted(WPARAM wParam, LPARAM lParam);
void onAppAudioPcm(LPARAM lParam);
void onAppAudioEnded(LPARAM lParam);

// Internal to the two halves of the session.

// The PCM reader's body: relays the helper's output until it ends, then posts
// WM_APPAUDIO_ENDED. Owns `output` and closes it.
void readPcm(HWND window, std::shared_ptr<AppAudio> session, HANDLE output);

// Posts a session record. A start result or an end notice must not be lost, so a
// full queue is waited out; once the window is gone the record is freed.
void postSessionRecord(HWND window, UINT message, WPARAM wParam, std::shared_ptr<AppAudio> session);

// True when `session` is the current one (the same record, not an equal one).
bool isCurrentAppAudio(const std::shared_ptr<AppAudio>& session);

// Posts a message to the page; nothing happens without a web view.
void postToPage(const std::wstring& text);
