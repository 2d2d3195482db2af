#include "tools/EngineSession.h"

#include <algorithm>

namespace bastion::tools {
std::unique_ptr<EngineSession> EngineSession::Open(PacketProcessorFactory factory,
                                                   PacketProcessorDestroyer destroyer,
                                                   const HostConfig& setup, std::string* error,
                                                   size_t packetLogCapacity) {
    std::unique_ptr<EngineSession> session(new EngineSession());
    session->state_ = std::make_unique<RuntimeState>();
    session->destroyer_ = destroyer;
    RuntimeState& state = *session->state_;
    state.packetLog.SetCapacity(std::max<size_t>(packetLogCapacity, setup.host.packetLogCapacity));
    state.apiHostName = setup.host.apiHostName;
    state.config = setup.config;
    session->engine_ = factory(state);
    if (session->engine_ == nullptr) {
        *error = "the engine could not be created";
        return nullptr;
    }
    IPacketProcessor& engine = *session->engine_;
    engine.SetRules(setup.rules, setup.portPpsRules, setup.portSizeRules, setup.advancedRules,
                    setup.portConnRules, setup.portSynRules, setup.udpRules, setup.icmpRules);
    engine.SetUdpAdvancedRules(setup.udpAdvancedRules);
    engine.SetIcmpAdvancedRules(setup.icmpAdvancedRules);
    if (!engine.Start()) {
        *error = "the engine did not start";
        session->stopped_ = true;
        return nullptr;
    }
    engine.ApplyConfig(setup.config);
    return session;
}

EngineSession::~EngineSession() {
    Stop();
    if (engine_ != nullptr && destroyer_ != nullptr) destroyer_(engine_);
}

void EngineSession::Stop() {
    if (stopped_ || engine_ == nullptr) return;
    stopped_ = true;
    engine_->Stop();
}

std::string ReasonOfLogLine(const std::string& line) {
    static constexpr std::string_view kRule = " | Rule: ";
    if (size_t at = line.find(kRule); at != std::string::npos) {
        const size_t from = at + kRule.size();
        const size_t to = line.find(" | ", from);
        return line.substr(from, to == std::string::npos ? std::string::npos : to - from);
    }
    static constexpr std::string_view kBy = " bởi \"";
    if (size_t at = line.find(kBy); at != std::string::npos) {
        const size_t from = at + kBy.size();
        const size_t to = line.find('"', from);
        if (to != std::string::npos) return line.substr(from, to - from);
    }
    if (!line.empty() && line[0] == '[') {
        const size_t to = line.find("] IP ");
        if (to != std::string::npos) return line.substr(1, to - 1);
    }
    // No rule named: the first few words stand for the message.
    size_t end = 0;
    for (int words = 0; words < 4 && end != std::string::npos; ++words)
        end = line.find(' ', end + 1);
    return line.substr(0, end);
}

}  // namespace bastion::tools
