// The scripted audio system that the simulated helper build runs against: which
// processes exist, which sessions they have, what they play, how activation
// behaves and how each capture stream misbehaves. Tests write it as a text file,
// one fact per line:
//
//   process <pid> <parent pid> <executable name>
//   session <pid> active|inactive|expired [system] [endpoint=<n>]
//   endpoint <n> inactive               sessions on it are not listed
//   tone <pid> <amplitude> <half period in frames, 0 for constant> [silent]
//   activation <pid>|self ok|never|fail <hex>|refuse <hex>|broken <hex>|empty|late <ms>
//   clock <pid> <ppm>                   the stream of pid's tree runs ppm fast (negative: slow)
//   packets <pid> <first> [<next>...]   packet sizes in frames: the first, then the rest in turn
//   event <pid> stops <ms>              the stream's event is no longer set ms after its start
//   stream <pid> fails <ms> <hex>       from ms after the stream's start, GetNextPacketSize
//                                       and GetBuffer answer hex (the stream is gone)
//   tick <ms>                           Sleep wakes only on this timer tick (fractions allowed)
//   timer none                          no high-resolution waitable timer, as before
//                                       Windows 10 1803: creating one fails
//                                       with ERROR_INVALID_PARAMETER
//   snapshot fails                      no process snapshot can be taken
//   enumerator fails                    no endpoint enumerator can be created
//
// Activation: fail gives the code as the activation's result, refuse as the
// result of ActivateAudioInterfaceAsync, broken as the failure of
// GetActivateResult itself; empty succeeds without an object; late completes
// after ms. The stream lines hold for every stream activated while they stand, so
// removing one lets the next activation bring a healthy stream. Blank lines and
// lines starting with # are ignored; so are unknown lines.
//
// Made-up processes take ids that are not multiples of 4: Windows and Wine give
// every real process such an id, and a made-up one that happened to be the
// helper's own would be left out as the helper itself. A scenario process or
// session with the helper's id is a breach.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <vector>

struct SimProcess {
    uint32_t pid = 0;
    uint32_t parent = 0;
    std::string name;
};

struct SimSession {
    uint32_t pid = 0;
    int state = 0; // 0 inactive, 1 active, 2 expired, as the platform numbers them
    bool system = false;
    int endpoint = 0;
};

struct SimTone {
    uint32_t pid = 0;
    int amplitude = 0;
    uint32_t halfPeriod = 0;
    bool silent = false;
};

enum class SimActivationKind { OK, NEVER, FAIL, REFUSE, BROKEN, EMPTY };

struct SimActivation {
    SimActivationKind kind = SimActivationKind::OK;
    uint32_t code = 0;
    uint32_t delayMs = 5;
};

// How the capture stream of one tree behaves; the default is an ideal stream.
struct SimStreamSettings {
    double ppm = 0;
    std::vector<uint32_t> packets = {480};
    int64_t eventStopsMs = -1; // -1: never
    int64_t failsMs = -1;      // -1: never
    uint32_t failCode = 0;
};

// The pid that stands for the helper itself in activation lines ("self").
inline constexpr uint32_t SIM_SELF = 0xFFFFFFFF;

struct SimScenario {
    std::vector<SimProcess> processes;
    std::vector<SimSession> sessions;
    std::set<int> inactiveEndpoints;
    std::vector<SimTone> tones;
    std::map<uint32_t, SimActivation> activations;
    std::map<uint32_t, SimStreamSettings> streams;
    double tickMs = 0;
    bool highResolutionTimer = true;
    bool snapshotFails = false;
    bool enumeratorFails = false;
};

SimScenario readSimScenario(std::istream& in);

// Tones of pid and of every process below it (the include-tree capture's sources).
std::vector<SimTone> simTreeTones(const SimScenario& scenario, uint32_t pid);

// One interleaved sample value of a tone at a frame index.
int simToneValue(const SimTone& tone, uint64_t frame);

// Size in frames of packet number index of a stream.
uint32_t simPacketFrames(const SimStreamSettings& settings, uint64_t index);
