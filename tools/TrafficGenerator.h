// The traffic generator: real IPv4 packets of every traffic class, injected into the
// simulated network at the rates a scenario gives, from one or more threads.
//
// - PacketFactory builds single packets of a class (stateless classes, and the opening
//   SYN of a legitimate connection) with valid lengths and checksums.
// - LegitTcpClients plays the legitimate TCP clients: it opens connections, answers the
//   local stack's SYN-ACKs with the handshake's ACK and a request carrying payload, closes
//   with FIN and acknowledges the stack's FIN. It learns the stack's replies through
//   OnServerPacket, called from whichever thread delivers them.
// - TrafficGenerator runs a scenario: thread 0 also drives the TCP clients; every thread
//   takes its share of each class's rate. It counts what it offered and, as the
//   observer of an ObservedWorld, what the world delivered to the local stack, by class.
//
// Addresses of the traffic: the server is the sim's stack address; legitimate TCP clients
// come from 198.51.100.0/24, UDP users from 198.18.0.0/24, pinging hosts from
// 198.18.1.0/24; the single flooding host is 192.0.2.66, the few SYN senders 192.0.2.10-14,
// the ICMP flooders 192.0.2.100-104, the UDP flooders 100.64.0.1-2; spoofed sources are
// random unicast addresses outside all of those and 100.64.0.0/10.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/ObservedWorld.h"
#include "tools/Scenario.h"
#include "tools/TrafficClass.h"

namespace bastion::tools {

using Packet = std::vector<uint8_t>;

struct GeneratorOptions {
    uint32_t server = 0;                         // 0: 203.0.113.10, the sim's default
    std::vector<uint16_t> tcpPorts = {80, 443};  // the stack listens on these
    uint16_t udpPort = 27015;                    // the UDP service
    unsigned threads = 1;
    uint64_t seed = 1;
    // A legitimate connection stays open for a random time up to this, after its request.
    double holdSeconds = 2.0;
};

// A small, fast generator of pseudo-random numbers (splitmix64).
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

  private:
    uint64_t state_;
};

// A random unicast address outside every range the generator uses on purpose.
uint32_t RandomSpoofedAddress(Random& random);

class PacketFactory {
  public:
    PacketFactory(const GeneratorOptions& options, uint64_t seed);
    // One packet of class `c`; for LegitTcp the opening SYN of a connection.
    Packet Make(TrafficClass c);

  private:
    uint16_t NextId(TrafficClass c);
    uint16_t TcpPort();

    GeneratorOptions options_;
    Random random_;
    std::array<uint32_t, kTrafficClassCount> counters_{};
};

class LegitTcpClients {
  public:
    struct Stats {
        uint64_t opened = 0;       // SYNs sent
        uint64_t established = 0;  // SYN-ACKs answered
        uint64_t closed = 0;       // the stack's FIN acknowledged
        uint64_t failed = 0;       // no SYN-ACK or no FIN within kTimeoutSeconds
    };
    static constexpr double kTimeoutSeconds = 3.0;

    LegitTcpClients(uint32_t server, std::vector<uint16_t> ports, uint64_t seed,
                    double holdSeconds = 2.0);

    static bool IsClientAddress(uint32_t address) { return (address >> 8) == 0xC63364; }

    // Opens a connection at `now` (seconds): appends its SYN to `out`.
    void Open(double now, std::vector<Packet>& out);
    // A packet the world delivered on its way out (any thread); those of the stack to a
    // client are kept for Poll.
    void OnServerPacket(const uint8_t* packet, size_t length);
    // Answers what the stack sent since the last call and closes the connections whose time
    // has come, appending the packets to `out`.
    void Poll(double now, std::vector<Packet>& out);

    Stats GetStats() const;
    size_t OpenConnections() const;

  private:
    enum class State { SynSent, Established, FinSent };
    struct Connection {
        State state = State::SynSent;
        uint16_t serverPort = 0;
        uint32_t isn = 0;
        uint32_t serverNext = 0;
        uint32_t requestLength = 0;
        double since = 0;    // time of the last state change
        double closeAt = 0;  // Established: when to send FIN
    };
    struct Reply {
        uint32_t client = 0;
        uint16_t clientPort = 0;
        uint8_t flags = 0;
        uint32_t seq = 0, ack = 0;
    };
    using Key = std::pair<uint32_t, uint16_t>;  // client address and port

    Packet Segment(const Key& key, const Connection& c, uint8_t flags, uint32_t seq, uint32_t ack,
                   std::string_view payload);

    const uint32_t server_;
    const std::vector<uint16_t> ports_;
    const double holdSeconds_;
    Random random_;
    uint32_t idCounter_ = 0;
    uint64_t openCounter_ = 0;
    std::map<Key, Connection> connections_;  // Open and Poll's thread only
    Stats stats_;                            // written by that thread under statsMutex_
    mutable std::mutex statsMutex_;
    std::mutex repliesMutex_;
    std::vector<Reply> replies_;
};

class TrafficGenerator final : public ObservedWorld::Observer {
  public:
    explicit TrafficGenerator(GeneratorOptions options);
    ~TrafficGenerator() override;
    TrafficGenerator(const TrafficGenerator&) = delete;
    TrafficGenerator& operator=(const TrafficGenerator&) = delete;

    // Starts the threads; they end by themselves when the scenario's time is up.
    void Start(const Scenario& scenario);
    // Ends the threads early (or waits for nothing if they are done) and joins them.
    void Stop();
    // Waits for the scenario's end.
    void Join();
    bool Finished() const { return finishedThreads_.load() >= threads_.size(); }

    uint64_t Offered(TrafficClass c) const {
        return offered_[static_cast<size_t>(c)].load(std::memory_order_relaxed);
    }
    uint64_t Delivered(TrafficClass c) const {
        return delivered_[static_cast<size_t>(c)].load(std::memory_order_relaxed);
    }
    const LegitTcpClients& Clients() const { return clients_; }

    void OnDelivered(const divert::PacketRef* packets, size_t count) override;

    // Injects a batch of inbound packets into dispatch and counts them as offered.
    void Inject(std::vector<Packet>& packets);

  private:
    void Run(unsigned index, Scenario scenario);

    const GeneratorOptions options_;
    LegitTcpClients clients_;
    std::atomic<bool> running_{false};
    std::atomic<size_t> finishedThreads_{0};
    std::vector<std::thread> threads_;
    std::array<std::atomic<uint64_t>, kTrafficClassCount> offered_{}, delivered_{};
};

}  // namespace bastion::tools
