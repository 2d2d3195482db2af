#include "tools/TrafficGenerator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "divert/sim/PacketBuilder.h"
#include "divert/sim/SimWorld.h"

namespace bastion::tools {
namespace {

using divert::sim::Ipv4;
using divert::sim::PacketBuilder;
namespace tcp = divert::sim::tcp;

constexpr uint32_t kSingleFlooder = 0xC0000242;  // 192.0.2.66
constexpr uint32_t kFewSynSources = 0xC000020A;  // 192.0.2.10 .. 14
constexpr uint32_t kIcmpFlooders = 0xC0000264;   // 192.0.2.100 .. 104
constexpr uint32_t kUdpUsers = 0xC6120001;       // 198.18.0.1 .. 20
constexpr uint32_t kPingers = 0xC6120101;        // 198.18.1.1 .. 5
constexpr uint32_t kUdpFlooders = 0x64400001;    // 100.64.0.1 .. 2
constexpr uint32_t kLegitClients = 0xC6336401;   // 198.51.100.1 .. 250

constexpr std::array<uint16_t, 4> kAmplifierPorts = {53, 123, 1900, 11211};
// Typical reply sizes of the reflected protocols (DNS ANY, NTP monlist, SSDP, memcached).
constexpr std::array<size_t, 4> kAmplifierPayloads = {1200, 468, 320, 1400};
constexpr std::array<uint8_t, 6> kBadFlags = {
    tcp::kSyn | tcp::kFin,
    tcp::kSyn | tcp::kRst,
    tcp::kFin | tcp::kPsh | tcp::kUrg,  // "christmas tree"
    0,                                  // no flag at all
    tcp::kSyn | tcp::kFin | tcp::kRst | tcp::kPsh | tcp::kAck | tcp::kUrg,
    tcp::kFin,  // FIN without ACK
};

uint32_t ServerOf(const GeneratorOptions& options) {
    return options.server != 0 ? options.server : Ipv4("203.0.113.10");
}

uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Load32(const uint8_t* p) {
    return (uint32_t{Load16(p)} << 16) | Load16(p + 2);
}

bool InRange(uint32_t address, uint32_t base, uint32_t prefixBits) {
    const uint32_t mask = prefixBits == 0 ? 0 : ~uint32_t{0} << (32 - prefixBits);
    return (address & mask) == (base & mask);
}

}  // namespace

uint64_t Random::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t RandomSpoofedAddress(Random& random) {
    for (;;) {
        const uint32_t a = static_cast<uint32_t>(random.Next());
        const uint32_t first = a >> 24;
        if (first == 0 || first == 10 || first == 127 || first >= 224) continue;
        if (InRange(a, 0xC6336400, 24) || InRange(a, 0xC6120000, 15) ||
            InRange(a, 0xCB007100, 24) || InRange(a, 0xC0000200, 24) ||
            InRange(a, 0x64400000, 10)) {
            continue;
        }
        return a;
    }
}

PacketFactory::PacketFactory(const GeneratorOptions& options, uint64_t seed)
    : options_(options), random_(seed) {
    options_.server = ServerOf(options);
    if (options_.tcpPorts.empty()) options_.tcpPorts = {80};
}

uint16_t PacketFactory::NextId(TrafficClass c) {
    return TagId(c, counters_[static_cast<size_t>(c)]++);
}

uint16_t PacketFactory::TcpPort() {
    return options_.tcpPorts[random_.Below(static_cast<uint32_t>(options_.tcpPorts.size()))];
}

Packet PacketFactory::Make(TrafficClass c) {
    const uint32_t server = options_.server;
    const uint16_t id = NextId(c);
    const auto ephemeral = [this] { return static_cast<uint16_t>(1024 + random_.Below(64511)); };
    switch (c) {
        case TrafficClass::LegitTcp:
            return PacketBuilder::Tcp(kLegitClients + random_.Below(250), ephemeral(), server,
                                      TcpPort())
                .Syn()
                .Seq(static_cast<uint32_t>(random_.Next()))
                .Mss(1460)
                .Nop()
                .WindowScale(8)
                .SackPermitted()
                .Window(64240)
                .Ttl(128)
                .DontFragment()
                .Id(id)
                .Build();
        case TrafficClass::LegitUdp: {
            const uint32_t user = random_.Below(20);
            return PacketBuilder::Udp(kUdpUsers + user, static_cast<uint16_t>(40000 + user), server,
                                      options_.udpPort)
                .Payload("state update " + std::to_string(id & 0x0FFF))
                .PayloadSize(64, 'u')
                .Ttl(118)
                .Id(id)
                .Build();
        }
        case TrafficClass::LegitIcmp: {
            const uint32_t host = random_.Below(5);
            return PacketBuilder::Icmp(kPingers + host, server, 8)
                .IcmpBody(((0x100u + host) << 16) | (id & 0x0FFFu))
                .PayloadSize(32, 'a')
                .Ttl(60)
                .Id(id)
                .Build();
        }
        case TrafficClass::SynFloodSpoofed:
            // As flooding tools send them: one fixed shape, no options, only the source
            // address and port and the sequence number vary.
            return PacketBuilder::Tcp(RandomSpoofedAddress(random_), ephemeral(), server, TcpPort())
                .Syn()
                .Seq(static_cast<uint32_t>(random_.Next()))
                .Window(1024)
                .Ttl(64)
                .Id(id)
                .Build();
        case TrafficClass::AckFlood:
            return PacketBuilder::Tcp(RandomSpoofedAddress(random_), ephemeral(), server, TcpPort())
                .Ack()
                .Seq(static_cast<uint32_t>(random_.Next()))
                .AckNumber(static_cast<uint32_t>(random_.Next()))
                .Window(512)
                .Ttl(static_cast<uint8_t>(40 + random_.Below(200)))
                .Id(id)
                .Build();
        case TrafficClass::TcpFloodSingle:
            return PacketBuilder::Tcp(kSingleFlooder, ephemeral(), server, TcpPort())
                .Psh()
                .Ack()
                .Seq(static_cast<uint32_t>(random_.Next()))
                .AckNumber(static_cast<uint32_t>(random_.Next()))
                .PayloadSize(100, 'x')
                .Id(id)
                .Build();
        case TrafficClass::SynFloodFew:
            return PacketBuilder::Tcp(kFewSynSources + random_.Below(5), ephemeral(), server,
                                      TcpPort())
                .Syn()
                .Seq(static_cast<uint32_t>(random_.Next()))
                .Mss(1460)
                .Window(29200)
                .Id(id)
                .Build();
        case TrafficClass::UdpFlood:
            return PacketBuilder::Udp(kUdpFlooders + random_.Below(2), ephemeral(), server,
                                      options_.udpPort)
                .PayloadSize(1400, 0xAB)
                .Id(id)
                .Build();
        case TrafficClass::UdpAmplification: {
            const uint32_t kind = random_.Below(4);
            return PacketBuilder::Udp(RandomSpoofedAddress(random_), kAmplifierPorts[kind], server,
                                      ephemeral())
                .PayloadSize(kAmplifierPayloads[kind], 0x5A)
                .Ttl(static_cast<uint8_t>(40 + random_.Below(80)))
                .Id(id)
                .Build();
        }
        case TrafficClass::IcmpFlood:
            return PacketBuilder::Icmp(kIcmpFlooders + random_.Below(5), server, 8)
                .IcmpBody(static_cast<uint32_t>(random_.Next()))
                .PayloadSize(56, 0)
                .Id(id)
                .Build();
        case TrafficClass::MalformedTcp:
            return PacketBuilder::Tcp(RandomSpoofedAddress(random_), ephemeral(), server, TcpPort())
                .Flags(kBadFlags[id % kBadFlags.size()])
                .Seq(static_cast<uint32_t>(random_.Next()))
                .Id(id)
                .Build();
    }
    return {};
}

// ---- Legitimate TCP clients ----------------------------------------------------------------

LegitTcpClients::LegitTcpClients(uint32_t server, std::vector<uint16_t> ports, uint64_t seed,
                                 double holdSeconds)
    : server_(server),
      ports_(ports.empty() ? std::vector<uint16_t>{80} : std::move(ports)),
      holdSeconds_(holdSeconds),
      random_(seed) {}

Packet LegitTcpClients::Segment(const Key& key, const Connection& c, uint8_t flags, uint32_t seq,
                                uint32_t ack, std::string_view payload) {
    return PacketBuilder::Tcp(key.first, key.second, server_, c.serverPort)
        .Flags(flags)
        .Seq(seq)
        .AckNumber(ack)
        .Window(1026)
        .Ttl(128)
        .DontFragment()
        .Id(TagId(TrafficClass::LegitTcp, idCounter_++))
        .Payload(payload)
        .Build();
}

void LegitTcpClients::Open(double now, std::vector<Packet>& out) {
    // Each client address opens its next connection from its next port, so a port is
    // reused only after 250 x 40,000 connections.
    const uint64_t n = openCounter_++;
    const Key key{kLegitClients + static_cast<uint32_t>(n % 250),
                  static_cast<uint16_t>(20000 + (n / 250) % 40000)};
    Connection c;
    c.serverPort = ports_[n % ports_.size()];
    c.isn = static_cast<uint32_t>(random_.Next());
    c.since = now;
    out.push_back(PacketBuilder::Tcp(key.first, key.second, server_, c.serverPort)
                      .Syn()
                      .Seq(c.isn)
                      .Mss(1460)
                      .Nop()
                      .WindowScale(8)
                      .SackPermitted()
                      .Window(64240)
                      .Ttl(128)
                      .DontFragment()
                      .Id(TagId(TrafficClass::LegitTcp, idCounter_++))
                      .Build());
    connections_[key] = c;
    std::lock_guard lock(statsMutex_);
    ++stats_.opened;
}

void LegitTcpClients::OnServerPacket(const uint8_t* p, size_t length) {
    if (length < 40 || (p[0] >> 4) != 4 || p[9] != 6) return;
    if (Load32(p + 12) != server_ || !IsClientAddress(Load32(p + 16))) return;
    const size_t ipHeader = size_t{p[0] & 0x0Fu} * 4;
    if (length < ipHeader + 20) return;
    const uint8_t* t = p + ipHeader;
    Reply r{Load32(p + 16), Load16(t + 2), t[13], Load32(t + 4), Load32(t + 8)};
    std::lock_guard lock(repliesMutex_);
    replies_.push_back(r);
}

void LegitTcpClients::Poll(double now, std::vector<Packet>& out) {
    std::vector<Reply> replies;
    {
        std::lock_guard lock(repliesMutex_);
        replies.swap(replies_);
    }
    Stats delta;
    for (const Reply& r : replies) {
        auto it = connections_.find(Key{r.client, r.clientPort});
        if (it == connections_.end()) continue;
        Connection& c = it->second;
        const bool synAck = (r.flags & (tcp::kSyn | tcp::kAck)) == (tcp::kSyn | tcp::kAck);
        if (c.state == State::SynSent && synAck && r.ack == c.isn + 1) {
            static constexpr std::string_view kRequest =
                "GET /index.html HTTP/1.1\r\nHost: bastion-sim\r\nUser-Agent: demo\r\n\r\n";
            c.serverNext = r.seq + 1;
            c.requestLength = static_cast<uint32_t>(kRequest.size());
            out.push_back(Segment(it->first, c, tcp::kAck, c.isn + 1, c.serverNext, {}));
            out.push_back(
                Segment(it->first, c, tcp::kPsh | tcp::kAck, c.isn + 1, c.serverNext, kRequest));
            c.state = State::Established;
            c.since = now;
            c.closeAt = now + holdSeconds_ * (0.1 + 0.9 * random_.Unit());
            ++delta.established;
        } else if (c.state == State::FinSent && (r.flags & tcp::kFin)) {
            out.push_back(Segment(it->first, c, tcp::kAck, r.ack, r.seq + 1, {}));
            connections_.erase(it);
            ++delta.closed;
        }
    }
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = it->second;
        if (c.state == State::Established && now >= c.closeAt) {
            out.push_back(Segment(it->first, c, tcp::kFin | tcp::kAck, c.isn + 1 + c.requestLength,
                                  c.serverNext, {}));
            c.state = State::FinSent;
            c.since = now;
        } else if (c.state != State::Established && now - c.since > kTimeoutSeconds) {
            it = connections_.erase(it);
            ++delta.failed;
            continue;
        }
        ++it;
    }
    std::lock_guard lock(statsMutex_);
    stats_.established += delta.established;
    stats_.closed += delta.closed;
    stats_.failed += delta.failed;
}

LegitTcpClients::Stats LegitTcpClients::GetStats() const {
    std::lock_guard lock(statsMutex_);
    return stats_;
}

size_t LegitTcpClients::OpenConnections() const {
    std::lock_guard lock(statsMutex_);
    return static_cast<size_t>(stats_.opened - stats_.closed - stats_.failed);
}

// ---- The generator --------------------------------------------------------------------------

TrafficGenerator::TrafficGenerator(GeneratorOptions options)
    : options_(std::move(options)),
      clients_(ServerOf(options_), options_.tcpPorts, options_.seed ^ 0x5EED,
               options_.holdSeconds) {}

TrafficGenerator::~TrafficGenerator() {
    Stop();
}

void TrafficGenerator::Start(const Scenario& scenario) {
    Stop();
    running_.store(true);
    finishedThreads_.store(0);
    const unsigned count = std::max(1u, options_.threads);
    for (unsigned i = 0; i < count; ++i)
        threads_.emplace_back([this, i, scenario] { Run(i, scenario); });
}

void TrafficGenerator::Stop() {
    running_.store(false);
    Join();
}

void TrafficGenerator::Join() {
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    threads_.clear();
}

void TrafficGenerator::Inject(std::vector<Packet>& packets) {
    if (packets.empty()) return;
    std::array<uint64_t, kTrafficClassCount> counts{};
    std::vector<divert::PacketRef> refs;
    refs.reserve(packets.size());
    divert::PacketMeta meta;
    meta.outbound = false;
    meta.ifIdx = divert::sim::kEthernetIfIdx;
    for (const Packet& p : packets) {
        refs.push_back(divert::PacketRef{p.data(), static_cast<uint32_t>(p.size()), meta});
        if (auto c = ClassOfPacket(p.data(), p.size())) ++counts[static_cast<size_t>(*c)];
    }
    // Counted before they enter dispatch, so a delivery is never seen ahead of its offer.
    for (size_t i = 0; i < kTrafficClassCount; ++i) {
        if (counts[i] != 0) offered_[i].fetch_add(counts[i], std::memory_order_relaxed);
    }
    divert::Ingress(refs.data(), refs.size());
    packets.clear();
}

void TrafficGenerator::OnDelivered(const divert::PacketRef* packets, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const divert::PacketRef& p = packets[i];
        if (p.meta.outbound) {
            clients_.OnServerPacket(p.data, p.length);
        } else if (auto c = ClassOfPacket(p.data, p.length)) {
            delivered_[static_cast<size_t>(*c)].fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void TrafficGenerator::Run(unsigned index, Scenario scenario) {
    using Clock = std::chrono::steady_clock;
    const double share = 1.0 / std::max(1u, options_.threads);
    const std::vector<TrafficClass> classes = scenario.Classes();
    PacketFactory factory(options_, options_.seed * 1000003 + index);
    std::array<double, kTrafficClassCount> due{};
    std::vector<Packet> batch;
    constexpr size_t kBatch = 64;
    // A legitimate connection sends five packets: SYN, ACK, request, FIN, last ACK.
    constexpr double kPacketsPerConnection = 5;

    const Clock::time_point start = Clock::now();
    double last = 0;
    while (running_.load(std::memory_order_relaxed)) {
        const double now = std::chrono::duration<double>(Clock::now() - start).count();
        if (now >= scenario.seconds) break;
        // After a stall the backlog is capped at 100 ms of traffic, not sent as one burst.
        const double dt = std::min(now - last, 0.1);
        last = now;
        for (TrafficClass c : classes) {
            const bool clientThread = index == 0;
            if (c == TrafficClass::LegitTcp && !clientThread) continue;
            const double rate = scenario.RateAt(c, now) * (c == TrafficClass::LegitTcp ? 1 : share);
            double& d = due[static_cast<size_t>(c)];
            d += rate * dt / (c == TrafficClass::LegitTcp ? kPacketsPerConnection : 1);
            while (d >= 1) {
                d -= 1;
                if (c == TrafficClass::LegitTcp) {
                    clients_.Open(now, batch);
                } else {
                    batch.push_back(factory.Make(c));
                }
                if (batch.size() >= kBatch) Inject(batch);
            }
        }
        if (index == 0) clients_.Poll(now, batch);
        Inject(batch);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The clients finish their conversations for up to their timeout after the traffic.
    if (index == 0) {
        const Clock::time_point end = Clock::now();
        while (running_.load(std::memory_order_relaxed) && clients_.OpenConnections() > 0) {
            const double now = std::chrono::duration<double>(Clock::now() - start).count();
            if (Clock::now() - end >
                std::chrono::duration<double>(LegitTcpClients::kTimeoutSeconds + 0.5))
                break;
            clients_.Poll(now, batch);
            Inject(batch);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    finishedThreads_.fetch_add(1);
}

}  // namespace bastion::tools
