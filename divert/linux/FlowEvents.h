// The FLOW layer from the kernel's connection tracking: conntrack events become FLOW
// ESTABLISHED and DELETED events for the runtime.
//
// A TCP connection of this host is reported ESTABLISHED once, when conntrack moves it to
// ESTABLISHED, and DELETED once, when it leaves ESTABLISHED for a closing state or is
// destroyed. Only connections whose first packet conntrack saw after the listener started
// are reported: ones that existed before (or that conntrack picked up mid-stream) never
// are, as the API reports no flow established before its handle opened. Forwarded
// connections (no end on this host) are not reported.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "divert/runtime/World.h"

struct nlmsghdr;

namespace divert::linuxworld {

// One conntrack event, reduced to what the FLOW layer needs. Addresses and ports in host
// order, original direction (source = the side that opened the connection).
struct ConntrackUpdate {
    enum class Kind { New, Update, Destroy } kind = Kind::New;
    uint32_t id = 0;
    uint8_t protocol = 0;
    uint8_t tcpState = 0;  // TCP_CONNTRACK_* of linux/netfilter/nf_conntrack_tcp.h
    uint32_t source = 0, destination = 0;
    uint16_t sourcePort = 0, destinationPort = 0;
};

// Reads a conntrack netlink message (IPv4 only); false for anything else.
bool ParseConntrackMessage(const nlmsghdr* message, ConntrackUpdate* update);

// Follows connections across events and says when to raise what. Not thread-safe.
class FlowTranslator {
  public:
    static constexpr size_t kMaxTracked = 1 << 16;

    explicit FlowTranslator(std::function<bool(uint32_t)> isLocal) : isLocal_(std::move(isLocal)) {}

    std::optional<FlowEvent> Translate(const ConntrackUpdate& update);
    size_t Tracked() const { return connections_.size(); }
    uint64_t Untracked() const { return untracked_; }  // not followed: the table was full

  private:
    struct Connection {
        FlowEvent established;
        bool reported = false;
    };
    std::function<bool(uint32_t)> isLocal_;
    std::unordered_map<uint32_t, Connection> connections_;
    uint64_t untracked_ = 0;
};

// Listens to conntrack events on a thread of its own and raises the flow events.
class FlowEvents {
  public:
    FlowEvents() = default;
    ~FlowEvents();
    bool Start(std::string* error);
    void Stop();

  private:
    void Loop();
    bool IsLocal(uint32_t address);

    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::unordered_set<uint32_t> local_;
    int64_t localReadNs_ = 0;
};

}  // namespace divert::linuxworld
