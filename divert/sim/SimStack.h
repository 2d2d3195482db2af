// The simulated host's own TCP/UDP endpoints: just enough of a stack to produce the
// traffic and flow events a protected server produces.
//
// - A listening port answers a SYN with a SYN-ACK sent out through dispatch (sniff handles
//   see it); the peer's ACK establishes the connection and raises an inbound
//   FLOW ESTABLISHED event. A FIN (answered with FIN+ACK) or RST ends it: FLOW DELETED.
// - Connect sends a SYN; the peer's SYN-ACK establishes the connection (ACK sent,
//   outbound ESTABLISHED). Close and Abort end a connection from this side.
// - SendUdp sends a datagram; the first one of a 5-tuple raises an outbound ESTABLISHED.
// - The TCP table lists listeners and connections as the operating system's would.
//
// Everything the stack sends or raises happens on the calling thread, after the stack's
// lock is released. There are no timers: nothing is retransmitted, half-open connections
// stay until reset, and closed connections leave the table at once.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include "divert/runtime/World.h"
#include "platform/SystemTables.h"

namespace divert::sim {

struct ConnectionKey {
    uint32_t localAddr = 0;
    uint16_t localPort = 0;
    uint32_t remoteAddr = 0;
    uint16_t remotePort = 0;

    auto Tie() const { return std::tie(localAddr, localPort, remoteAddr, remotePort); }
    bool operator<(const ConnectionKey& o) const { return Tie() < o.Tie(); }
    bool operator==(const ConnectionKey& o) const { return Tie() == o.Tie(); }
};

struct StackConfig {
    uint32_t processId = 4242;      // reported in flow events and the TCP table
    size_t synBacklog = 4096;       // half-open connections kept per listening port
    bool resetClosedPorts = false;  // answer a SYN to a closed port with RST+ACK
    uint16_t window = 64240;
    uint16_t mss = 1460;
};

class SimStack {
  public:
    SimStack(StackConfig config, uint32_t localAddress, uint32_t ifIdx);

    void SetLocalAddress(uint32_t address, uint32_t ifIdx);
    uint32_t LocalAddress() const;

    void Listen(uint16_t port);
    void StopListening(uint16_t port);

    // Opens a connection from the local address (an ephemeral port when localPort is 0).
    ConnectionKey Connect(uint32_t remoteAddr, uint16_t remotePort, uint16_t localPort = 0);
    // Ends a connection with FIN+ACK (Close) or RST (Abort); false if it is unknown.
    bool Close(const ConnectionKey& key);
    bool Abort(const ConnectionKey& key);

    void SendUdp(uint16_t localPort, uint32_t remoteAddr, uint16_t remotePort,
                 std::string_view payload);
    // The inactivity timeout of every UDP flow: one DELETED event each.
    void ExpireUdpFlows();

    std::vector<platform::TcpRow> TcpTable() const;
    platform::TcpState StateOf(const ConnectionKey& key) const;  // Closed if unknown
    uint64_t BacklogDrops() const { return backlogDrops_.load(std::memory_order_relaxed); }

    // An inbound packet the world delivered to this host.
    void OnInbound(const uint8_t* packet, size_t length);

  private:
    struct Connection {
        platform::TcpState state = platform::TcpState::Closed;
        uint32_t sendNext = 0;     // our next sequence number
        uint32_t receiveNext = 0;  // the peer's next sequence number
        uint64_t flowId = 0;
        bool outbound = false;
    };

    struct Effects {
        std::vector<std::vector<uint8_t>> packets;  // to send out
        std::vector<FlowEvent> events;
    };

    void SendSegmentLocked(const ConnectionKey& key, uint8_t flags, uint32_t seq, uint32_t ack,
                           bool withMss, Effects* effects) const;
    void RaiseLocked(const ConnectionKey& key, const Connection& c, WINDIVERT_EVENT event,
                     uint8_t protocol, Effects* effects) const;
    void Apply(Effects& effects) const;
    uint32_t NextIsnLocked();

    const StackConfig config_;
    mutable std::mutex mutex_;
    uint32_t localAddress_;
    uint32_t ifIdx_;
    std::set<uint16_t> listening_;
    std::map<ConnectionKey, Connection> connections_;
    std::map<ConnectionKey, uint64_t> udpFlows_;
    std::map<uint16_t, size_t> halfOpen_;  // per listening port
    uint32_t isnCounter_ = 0;
    uint16_t nextEphemeral_ = 49152;
    uint64_t nextFlowId_ = 1;
    std::atomic<bool> active_{false};  // something listens or is connected: parse inbound TCP
    std::atomic<uint64_t> backlogDrops_{0};
};

}  // namespace divert::sim
