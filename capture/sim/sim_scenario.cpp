#include "capture/sim/sim_scenario.h"

#include <sstream>

namespace {

bool isBelow(const SimScenario& scenario, uint32_t pid, uint32_t root) {
    for (int depth = 0; depth < 64; ++depth) {
        if (pid == root) {
            return true;
        }
        uint32_t parent = pid;
        for (const SimProcess& process : scenario.processes) {
            if (process.pid == pid) {
                parent = process.parent;
            }
        }
        if (parent == pid) {
            return false;
        }
        pid = parent;
    }
    return false;
}

int stateFrom(const std::string& word) {
    if (word == "active") {
        return 1;
    }
    return word == "expired" ? 2 : 0;
}

} // namespace

SimScenario readSimScenario(std::istream& in) {
    SimScenario scenario;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "process") {
            SimProcess process;
            fields >> process.pid >> process.parent >> process.name;
            scenario.processes.push_back(process);
        } else if (kind == "session") {
            SimSession session;
            std::string state;
            fields >> session.pid >> state;
            session.state = stateFrom(state);
            for (std::string extra; fields >> extra;) {
                if (extra == "system") {
                    session.system = true;
                } else if (extra.starts_with("endpoint=")) {
                    session.endpoint = std::stoi(extra.substr(9));
                }
            }
            scenario.sessions.push_back(session);
        } else if (kind == "endpoint") {
            int endpoint = 0;
            std::string state;
            fields >> endpoint >> state;
            if (state == "inactive") {
                scenario.inactiveEndpoints.insert(endpoint);
            }
        } else if (kind == "tone") {
            SimTone tone;
            std::string flag;
            fields >> tone.pid >> tone.amplitude >> tone.halfPeriod >> flag;
            tone.silent = flag == "silent";
            scenario.tones.push_back(tone);
        } else if (kind == "activation") {
            std::string target;
            std::string how;
            std::string code;
            fields >> target >> how >> code;
            const uint32_t pid =
                target == "self" ? SIM_SELF : static_cast<uint32_t>(std::stoul(target));
            SimActivation activation;
            if (how == "never") {
                activation.kind = SimActivationKind::NEVER;
            } else if (how == "empty") {
                activation.kind = SimActivationKind::EMPTY;
            } else if (how == "late") {
                activation.delayMs = static_cast<uint32_t>(std::stoul(code));
            } else if (how == "fail" || how == "refuse" || how == "broken") {
                activation.kind = how == "fail"     ? SimActivationKind::FAIL
                                  : how == "refuse" ? SimActivationKind::REFUSE
                                                    : SimActivationKind::BROKEN;
                activation.code = static_cast<uint32_t>(std::stoul(code, nullptr, 16));
            }
            scenario.activations[pid] = activation;
        } else if (kind == "clock") {
            uint32_t pid = 0;
            fields >> pid >> scenario.streams[pid].ppm;
        } else if (kind == "packets") {
            uint32_t pid = 0;
            fields >> pid;
            std::vector<uint32_t>& packets = scenario.streams[pid].packets;
            packets.clear();
            for (uint32_t frames = 0; fields >> frames && frames > 0;) {
                packets.push_back(frames);
            }
            if (packets.empty()) {
                packets.push_back(480);
            }
        } else if (kind == "event") {
            uint32_t pid = 0;
            std::string stops;
            fields >> pid >> stops >> scenario.streams[pid].eventStopsMs;
        } else if (kind == "stream") {
            uint32_t pid = 0;
            std::string fails;
            std::string code;
            fields >> pid >> fails >> scenario.streams[pid].failsMs >> code;
            scenario.streams[pid].failCode = static_cast<uint32_t>(std::stoul(code, nullptr, 16));
        } else if (kind == "timer") {
            std::string none;
            fields >> none;
            scenario.highResolutionTimer = none != "none";
        } else if (kind == "tick") {
            fields >> scenario.tickMs;
        } else if (kind == "snapshot") {
            scenario.snapshotFails = true;
        } else if (kind == "enumerator") {
            scenario.enumeratorFails = true;
        }
    }
    return scenario;
}

std::vector<SimTone> simTreeTones(const SimScenario& scenario, uint32_t pid) {
    std::vector<SimTone> tones;
    for (const SimTone& tone : scenario.tones) {
        if (isBelow(scenario, tone.pid, pid)) {
            tones.push_back(tone);
        }
    }
    return tones;
}

int simToneValue(const SimTone& tone, uint64_t frame) {
    if (tone.halfPeriod == 0 || (frame / tone.halfPeriod) % 2 == 0) {
        return tone.amplitude;
    }
    return -tone.amplitude;
}

uint32_t simPacketFrames(const SimStreamSettings& settings, uint64_t index) {
    const std::vector<uint32_t>& packets = settings.packets;
    if (index == 0 || packets.size() == 1) {
        return packets[0];
    }
    return packets[1 + (index - 1) % (packets.size() - 1)];
}
