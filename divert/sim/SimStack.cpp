// The simulated host's TCP handshakes, teardown, UDP flows and TCP table.
#include "divert/sim/SimStack.h"

#include "divert/packet/Packet.h"
#include "divert/sim/PacketBuilder.h"

namespace divert::sim {
namespace {

constexpr uint8_t kTcpProtocol = 6;
constexpr uint8_t kUdpProtocol = 17;

uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Load32(const uint8_t* p) {
    return (uint32_t{Load16(p)} << 16) | Load16(p + 2);
}

}  // namespace

SimStack::SimStack(StackConfig config, uint32_t localAddress, uint32_t ifIdx)
    : config_(config), localAddress_(localAddress), ifIdx_(ifIdx) {}

void SimStack::SetLocalAddress(uint32_t address, uint32_t ifIdx) {
    std::lock_guard lock(mutex_);
    localAddress_ = address;
    ifIdx_ = ifIdx;
}

uint32_t SimStack::LocalAddress() const {
    std::lock_guard lock(mutex_);
    return localAddress_;
}

void SimStack::Listen(uint16_t port) {
    std::lock_guard lock(mutex_);
    listening_.insert(port);
    active_.store(true, std::memory_order_relaxed);
}

void SimStack::StopListening(uint16_t port) {
    std::lock_guard lock(mutex_);
    listening_.erase(port);
}

uint32_t SimStack::NextIsnLocked() {
    return 0x10000000u + 0x00100000u * ++isnCounter_;
}

void SimStack::SendSegmentLocked(const ConnectionKey& key, uint8_t flags, uint32_t seq,
                                 uint32_t ack, bool withMss, Effects* effects) const {
    PacketBuilder b =
        PacketBuilder::Tcp(key.localAddr, key.localPort, key.remoteAddr, key.remotePort)
            .Flags(flags)
            .Seq(seq)
            .AckNumber(ack)
            .Window(config_.window)
            .DontFragment();
    if (withMss) b.Mss(config_.mss);
    effects->packets.push_back(b.Build());
}

void SimStack::RaiseLocked(const ConnectionKey& key, const Connection& c, WINDIVERT_EVENT event,
                           uint8_t protocol, Effects* effects) const {
    FlowEvent e;
    e.event = event;
    e.flowId = c.flowId;
    e.outbound = c.outbound;
    MapIPv4(key.localAddr, e.localAddr);
    MapIPv4(key.remoteAddr, e.remoteAddr);
    e.localPort = key.localPort;
    e.remotePort = key.remotePort;
    e.protocol = protocol;
    e.processId = config_.processId;
    effects->events.push_back(e);
}

void SimStack::Apply(Effects& effects) const {
    PacketMeta meta;
    meta.outbound = true;
    {
        std::lock_guard lock(mutex_);
        meta.ifIdx = ifIdx_;
    }
    for (const std::vector<uint8_t>& packet : effects.packets) {
        PacketRef ref{packet.data(), static_cast<uint32_t>(packet.size()), meta};
        Ingress(&ref, 1);
    }
    for (const FlowEvent& event : effects.events)
        RaiseFlowEvent(event);
}

ConnectionKey SimStack::Connect(uint32_t remoteAddr, uint16_t remotePort, uint16_t localPort) {
    Effects effects;
    ConnectionKey key;
    {
        std::lock_guard lock(mutex_);
        if (localPort == 0) {
            localPort = nextEphemeral_;
            nextEphemeral_ = nextEphemeral_ == 65535 ? 49152 : nextEphemeral_ + 1;
        }
        key = ConnectionKey{localAddress_, localPort, remoteAddr, remotePort};
        Connection c;
        c.state = platform::TcpState::SynSent;
        c.outbound = true;
        uint32_t isn = NextIsnLocked();
        c.sendNext = isn + 1;
        connections_[key] = c;
        active_.store(true, std::memory_order_relaxed);
        SendSegmentLocked(key, tcp::kSyn, isn, 0, true, &effects);
    }
    Apply(effects);
    return key;
}

bool SimStack::Close(const ConnectionKey& key) {
    Effects effects;
    {
        std::lock_guard lock(mutex_);
        auto it = connections_.find(key);
        if (it == connections_.end()) return false;
        const Connection& c = it->second;
        SendSegmentLocked(key, tcp::kFin | tcp::kAck, c.sendNext, c.receiveNext, false, &effects);
        if (c.state == platform::TcpState::Established) {
            RaiseLocked(key, c, WINDIVERT_EVENT_FLOW_DELETED, kTcpProtocol, &effects);
        }
        connections_.erase(it);
    }
    Apply(effects);
    return true;
}

bool SimStack::Abort(const ConnectionKey& key) {
    Effects effects;
    {
        std::lock_guard lock(mutex_);
        auto it = connections_.find(key);
        if (it == connections_.end()) return false;
        const Connection& c = it->second;
        SendSegmentLocked(key, tcp::kRst | tcp::kAck, c.sendNext, c.receiveNext, false, &effects);
        if (c.state == platform::TcpState::Established) {
            RaiseLocked(key, c, WINDIVERT_EVENT_FLOW_DELETED, kTcpProtocol, &effects);
        }
        if (c.state == platform::TcpState::SynReceived) --halfOpen_[key.localPort];
        connections_.erase(it);
    }
    Apply(effects);
    return true;
}

void SimStack::SendUdp(uint16_t localPort, uint32_t remoteAddr, uint16_t remotePort,
                       std::string_view payload) {
    Effects effects;
    {
        std::lock_guard lock(mutex_);
        ConnectionKey key{localAddress_, localPort, remoteAddr, remotePort};
        effects.packets.push_back(
            PacketBuilder::Udp(key.localAddr, localPort, remoteAddr, remotePort)
                .Payload(payload)
                .Build());
        auto [it, inserted] = udpFlows_.emplace(key, 0);
        if (inserted) {
            it->second = nextFlowId_++;
            Connection c;
            c.flowId = it->second;
            c.outbound = true;
            RaiseLocked(key, c, WINDIVERT_EVENT_FLOW_ESTABLISHED, kUdpProtocol, &effects);
        }
    }
    Apply(effects);
}

void SimStack::ExpireUdpFlows() {
    Effects effects;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, flowId] : udpFlows_) {
            Connection c;
            c.flowId = flowId;
            c.outbound = true;
            RaiseLocked(key, c, WINDIVERT_EVENT_FLOW_DELETED, kUdpProtocol, &effects);
        }
        udpFlows_.clear();
    }
    Apply(effects);
}

std::vector<platform::TcpRow> SimStack::TcpTable() const {
    std::lock_guard lock(mutex_);
    std::vector<platform::TcpRow> rows;
    for (uint16_t port : listening_) {
        platform::TcpRow row;
        row.state = platform::TcpState::Listen;
        row.localPort = port;
        row.pid = config_.processId;
        rows.push_back(row);
    }
    for (const auto& [key, c] : connections_) {
        platform::TcpRow row;
        row.state = c.state;
        row.localAddr = key.localAddr;
        row.localPort = key.localPort;
        row.remoteAddr = key.remoteAddr;
        row.remotePort = key.remotePort;
        row.pid = config_.processId;
        rows.push_back(row);
    }
    return rows;
}

platform::TcpState SimStack::StateOf(const ConnectionKey& key) const {
    std::lock_guard lock(mutex_);
    auto it = connections_.find(key);
    return it == connections_.end() ? platform::TcpState::Closed : it->second.state;
}

void SimStack::OnInbound(const uint8_t* p, size_t length) {
    if (!active_.load(std::memory_order_relaxed) && !config_.resetClosedPorts) return;
    if (length < 20 || (p[0] >> 4) != 4 || p[9] != kTcpProtocol) return;
    const size_t ipHeader = size_t{p[0] & 0x0Fu} * 4;
    const size_t total = Load16(p + 2);
    if (ipHeader < 20 || total > length || total < ipHeader + 20) return;
    if ((Load16(p + 6) & 0x1FFF) != 0) return;  // a later fragment
    const uint8_t* t = p + ipHeader;
    const size_t tcpHeader = static_cast<size_t>(t[12] >> 4) * 4;
    if (tcpHeader < 20 || ipHeader + tcpHeader > total) return;
    const uint32_t payload = static_cast<uint32_t>(total - ipHeader - tcpHeader);
    const uint8_t flags = t[13];
    const uint32_t seq = Load32(t + 4);
    const uint32_t ack = Load32(t + 8);
    const ConnectionKey key{Load32(p + 16), Load16(t + 2), Load32(p + 12), Load16(t)};

    Effects effects;
    {
        std::lock_guard lock(mutex_);
        auto it = connections_.find(key);
        if (flags & tcp::kRst) {
            if (it != connections_.end()) {
                if (it->second.state == platform::TcpState::Established) {
                    RaiseLocked(key, it->second, WINDIVERT_EVENT_FLOW_DELETED, kTcpProtocol,
                                &effects);
                }
                if (it->second.state == platform::TcpState::SynReceived) --halfOpen_[key.localPort];
                connections_.erase(it);
            }
        } else if ((flags & tcp::kSyn) && !(flags & tcp::kAck)) {
            if (it != connections_.end()) {
                const Connection& c = it->second;
                if (c.state == platform::TcpState::SynReceived) {  // the peer retransmitted
                    SendSegmentLocked(key, tcp::kSyn | tcp::kAck, c.sendNext - 1, c.receiveNext,
                                      true, &effects);
                }
            } else if (listening_.count(key.localPort) != 0) {
                size_t& pending = halfOpen_[key.localPort];
                if (pending >= config_.synBacklog) {
                    backlogDrops_.fetch_add(1, std::memory_order_relaxed);
                } else {
                    ++pending;
                    Connection c;
                    c.state = platform::TcpState::SynReceived;
                    uint32_t isn = NextIsnLocked();
                    c.sendNext = isn + 1;
                    c.receiveNext = seq + 1;
                    connections_[key] = c;
                    SendSegmentLocked(key, tcp::kSyn | tcp::kAck, isn, seq + 1, true, &effects);
                }
            } else if (config_.resetClosedPorts) {
                SendSegmentLocked(key, tcp::kRst | tcp::kAck, 0, seq + 1, false, &effects);
            }
        } else if (it != connections_.end()) {
            Connection& c = it->second;
            if ((flags & tcp::kSyn) && c.state == platform::TcpState::SynSent &&
                ack == c.sendNext) {
                c.state = platform::TcpState::Established;
                c.receiveNext = seq + 1;
                c.flowId = nextFlowId_++;
                SendSegmentLocked(key, tcp::kAck, c.sendNext, c.receiveNext, false, &effects);
                RaiseLocked(key, c, WINDIVERT_EVENT_FLOW_ESTABLISHED, kTcpProtocol, &effects);
            } else if (!(flags & tcp::kSyn) && (flags & tcp::kAck) &&
                       c.state == platform::TcpState::SynReceived && ack == c.sendNext) {
                c.state = platform::TcpState::Established;
                c.flowId = nextFlowId_++;
                --halfOpen_[key.localPort];
                RaiseLocked(key, c, WINDIVERT_EVENT_FLOW_ESTABLISHED, kTcpProtocol, &effects);
            }
            if (c.state == platform::TcpState::Established && !(flags & tcp::kSyn)) {
                c.receiveNext = seq + payload;
                if (flags & tcp::kFin) {
                    SendSegmentLocked(key, tcp::kFin | tcp::kAck, c.sendNext, c.receiveNext + 1,
                                      false, &effects);
                    RaiseLocked(key, c, WINDIVERT_EVENT_FLOW_DELETED, kTcpProtocol, &effects);
                    connections_.erase(it);
                }
            }
        }
    }
    Apply(effects);
}

}  // namespace divert::sim
