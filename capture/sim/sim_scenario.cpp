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
            } else if (how == "fail" || how == "refuse") {
                activation.kind =
                    how == "fail" ? SimActivationKind::FAIL : SimActivationKind::REFUSE;
                activation.code = static_cast<uint32_t>(std::stoul(code, nullptr, 16));
            }
            scenario.activations[pid] = activation;
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
