#include "tools/Replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <unordered_map>

#include "control/AtomicFile.h"
#include "divert/sim/PacketBuilder.h"
#include "tools/Capture.h"
#include "tools/ObservedWorld.h"

namespace bastion::tools {
namespace {

using divert::sim::FormatIpv4;
using Clock = std::chrono::steady_clock;

enum class Direction : uint8_t { Ignored, Inbound, Outbound };
enum class Fate : uint8_t { Unknown, Passed, FilterDropped };

uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Load32(const uint8_t* p) {
    return (uint32_t{Load16(p)} << 16) | Load16(p + 2);
}

uint64_t HashBytes(const uint8_t* p, size_t n) {
    uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

struct Item {
    CaptureFrame frame;
    Direction direction = Direction::Ignored;
    size_t ipLength = 0;  // the IPv4 packet's own length (trailing padding cut off)
};

// A TCP connection as the server sees it: server address and port, client address and port.
struct TcpKey {
    uint32_t server = 0, client = 0;
    uint16_t serverPort = 0, clientPort = 0;
    bool operator<(const TcpKey& o) const {
        return std::tie(server, serverPort, client, clientPort) <
               std::tie(o.server, o.serverPort, o.client, o.clientPort);
    }
};

// Matches what the network delivers (or a driver filter drops) to the replayed packets,
// and plays the server's connection events to the flow layer.
class ReplayObserver final : public ObservedWorld::Observer {
  public:
    explicit ReplayObserver(size_t count) : fates_(count, Fate::Unknown) {}

    // Called before the packet enters dispatch, which may deliver it at once.
    void Expect(const uint8_t* p, size_t n, size_t index) {
        std::lock_guard lock(mutex_);
        pending_[HashBytes(p, n)].push_back(index);
    }

    void OnDelivered(const divert::PacketRef* packets, size_t count) override {
        std::vector<divert::FlowEvent> events;
        {
            std::lock_guard lock(mutex_);
            for (size_t i = 0; i < count; ++i) {
                const divert::PacketRef& p = packets[i];
                if (!p.meta.outbound) Settle(p, Fate::Passed);
                TrackConnection(p, events);
            }
        }
        deliveries_.fetch_add(count, std::memory_order_relaxed);
        for (const divert::FlowEvent& e : events)
            divert::RaiseFlowEvent(e);
    }

    void OnDropped(const divert::DropRef* drops, size_t count) override {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < count; ++i) {
            if (!drops[i].packet.meta.outbound) Settle(drops[i].packet, Fate::FilterDropped);
        }
        deliveries_.fetch_add(count, std::memory_order_relaxed);
    }

    uint64_t Deliveries() const { return deliveries_.load(std::memory_order_relaxed); }
    std::vector<Fate> Fates() const {
        std::lock_guard lock(mutex_);
        return fates_;
    }

  private:
    void Settle(const divert::PacketRef& p, Fate fate) {
        auto it = pending_.find(HashBytes(p.data, p.length));
        if (it == pending_.end() || it->second.empty()) return;
        fates_[it->second.front()] = fate;
        it->second.pop_front();
        if (it->second.empty()) pending_.erase(it);
    }

    void TrackConnection(const divert::PacketRef& p, std::vector<divert::FlowEvent>& events) {
        const uint8_t* d = p.data;
        if (p.length < 40 || d[9] != 6) return;
        const size_t ihl = size_t{d[0] & 0x0Fu} * 4;
        if (p.length < ihl + 20) return;
        const uint8_t* t = d + ihl;
        const uint8_t flags = t[13];
        const bool syn = flags & 0x02, ack = flags & 0x10, end = flags & 0x05;  // FIN or RST
        TcpKey key;
        if (p.meta.outbound) {
            key = {Load32(d + 12), Load32(d + 16), Load16(t), Load16(t + 2)};
        } else {
            key = {Load32(d + 16), Load32(d + 12), Load16(t + 2), Load16(t)};
        }
        if (p.meta.outbound && syn && ack) {
            synAcked_.insert(key);
            return;
        }
        auto open = established_.find(key);
        if (end && open != established_.end()) {
            events.push_back(Event(key, open->second, WINDIVERT_EVENT_FLOW_DELETED));
            established_.erase(open);
            return;
        }
        if (!p.meta.outbound && ack && !syn && !end && open == established_.end() &&
            synAcked_.erase(key) != 0) {
            const uint64_t id = nextFlowId_++;
            established_[key] = id;
            events.push_back(Event(key, id, WINDIVERT_EVENT_FLOW_ESTABLISHED));
        }
    }

    static divert::FlowEvent Event(const TcpKey& key, uint64_t id, WINDIVERT_EVENT kind) {
        divert::FlowEvent e;
        e.event = kind;
        e.flowId = id;
        e.outbound = false;
        divert::MapIPv4(key.server, e.localAddr);
        divert::MapIPv4(key.client, e.remoteAddr);
        e.localPort = key.serverPort;
        e.remotePort = key.clientPort;
        e.protocol = 6;
        e.processId = 4;
        return e;
    }

    mutable std::mutex mutex_;
    std::vector<Fate> fates_;
    std::unordered_map<uint64_t, std::deque<size_t>> pending_;
    std::set<TcpKey> synAcked_;
    std::map<TcpKey, uint64_t> established_;
    uint64_t nextFlowId_ = 1;
    std::atomic<uint64_t> deliveries_{0};
};

// The capture's most frequent IPv4 destination.
uint32_t BusiestDestination(const std::vector<Item>& items) {
    std::unordered_map<uint32_t, uint64_t> counts;
    for (const Item& item : items) {
        if (item.frame.ipOffset)
            ++counts[Load32(item.frame.bytes.data() + *item.frame.ipOffset + 16)];
    }
    uint32_t best = 0;
    uint64_t most = 0;
    for (const auto& [address, n] : counts) {
        if (n > most || (n == most && address < best)) {
            best = address;
            most = n;
        }
    }
    return best;
}

divert::sim::SimConfig WorldFor(const std::vector<uint32_t>& servers) {
    divert::sim::SimConfig config;
    platform::AdapterInfo lo;
    lo.name = "lo";
    lo.ifIndex = divert::sim::kLoopbackIfIdx;
    lo.loopback = true;
    lo.unicast = {divert::sim::Ipv4("127.0.0.1")};
    platform::AdapterInfo eth;
    eth.name = "eth0";
    eth.ifIndex = divert::sim::kEthernetIfIdx;
    eth.unicast = servers;
    config.adapters = {lo, eth};
    return config;
}

// Waits until nothing has been delivered for `quiet`, at most `limit`.
void WaitForQuiet(const ReplayObserver& observer, Clock::duration quiet, Clock::duration limit) {
    const Clock::time_point start = Clock::now();
    uint64_t last = observer.Deliveries();
    Clock::time_point changed = start;
    while (Clock::now() - start < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t now = observer.Deliveries();
        if (now != last) {
            last = now;
            changed = Clock::now();
        } else if (Clock::now() - changed >= quiet) {
            return;
        }
    }
}

std::string Format(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

}  // namespace

std::string ReplayReport::ToJsonText() const {
    nlohmann::json j;
    nlohmann::json serverList = nlohmann::json::array();
    for (uint32_t s : servers)
        serverList.push_back(FormatIpv4(s));
    j["servers"] = serverList;
    j["frames"] = frames;
    j["ignored"] = ignored;
    j["outbound"] = outbound;
    j["inbound"] = inbound;
    j["verdicts"] = {{"passed", passed},
                     {"dropped", dropped},
                     {"droppedByDriverFilters", droppedByDriverFilters},
                     {"droppedFromBlockedSources", droppedFromBlockedSources},
                     {"queueLoss", queueLoss}};
    j["reasons"] = reasons;
    nlohmann::json top = nlohmann::json::array();
    for (const auto& [address, drops] : topSources)
        top.push_back({{"address", FormatIpv4(address)}, {"drops", drops}});
    j["topSourcesByDrops"] = top;
    nlohmann::json blocked = nlohmann::json::array();
    for (uint32_t a : blockedSources)
        blocked.push_back(FormatIpv4(a));
    j["blockedSources"] = blocked;
    j["logLines"] = logLines;
    j["logEventsLost"] = logEventsLost;
    return j.dump(2) + "\n";
}

int RunReplay(const ReplayOptions& options, const HostConfig& setup, PacketProcessorFactory factory,
              PacketProcessorDestroyer destroyer, std::ostream& out, std::ostream& err,
              ReplayReport* reportOut) {
    if (!(options.speed > 0)) {
        err << "bastion replay: --speed must be above 0\n";
        return 2;
    }
    // The whole capture is read first: a file that is unreadable anywhere is refused
    // before the engine sees any of it.
    std::string error;
    auto reader = CaptureReader::Open(options.capturePath, &error);
    if (!reader) {
        err << "bastion replay: " << error << "\n";
        return 2;
    }
    std::vector<Item> items;
    while (auto frame = reader->Next())
        items.push_back(Item{std::move(*frame)});
    if (!reader->Error().empty()) {
        err << "bastion replay: " << reader->Error() << "\n";
        return 2;
    }

    ReplayReport report;
    report.servers = options.servers;
    if (report.servers.empty()) {
        const uint32_t busiest = BusiestDestination(items);
        if (busiest == 0) {
            err << "bastion replay: " << options.capturePath
                << " holds no IPv4 packet; nothing to replay\n";
            return 2;
        }
        report.servers = {busiest};
        out << "No --server given: replaying for " << FormatIpv4(busiest)
            << ", the capture's most frequent destination\n";
    }
    const std::set<uint32_t> servers(report.servers.begin(), report.servers.end());
    report.frames = items.size();
    for (Item& item : items) {
        if (!item.frame.ipOffset) continue;
        const uint8_t* ip = item.frame.bytes.data() + *item.frame.ipOffset;
        const size_t available = item.frame.bytes.size() - *item.frame.ipOffset;
        const size_t length = Load16(ip + 2);
        if (length < 20 || length > available) continue;  // cut by the snap length
        item.ipLength = length;
        if (servers.count(Load32(ip + 16)) != 0) {
            item.direction = Direction::Inbound;
        } else if (servers.count(Load32(ip + 12)) != 0) {
            item.direction = Direction::Outbound;
        }
    }

    auto world = ObservedWorld::Install(WorldFor(report.servers));
    ReplayObserver observer(items.size());
    world->SetObserver(&observer);
    auto session = EngineSession::Open(factory, destroyer, setup, &error);
    if (!session) {
        world->SetObserver(nullptr);
        world->Uninstall();
        err << "bastion replay: " << error << "\n";
        return 1;
    }

    // Paced injection: each packet at its capture time (scaled) after the first.
    std::vector<divert::PacketRef> batch;
    const Clock::time_point start = Clock::now();
    const int64_t firstMicros = items.empty() ? 0 : items.front().frame.timeMicros;
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        if (item.direction == Direction::Ignored) continue;
        const auto due =
            start +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                static_cast<double>(item.frame.timeMicros - firstMicros) / 1e6 / options.speed));
        if (due > Clock::now() + std::chrono::milliseconds(1)) {
            divert::Ingress(batch.data(), batch.size());
            batch.clear();
            std::this_thread::sleep_until(due);
        }
        const uint8_t* ip = item.frame.bytes.data() + *item.frame.ipOffset;
        divert::PacketMeta meta;
        meta.outbound = item.direction == Direction::Outbound;
        meta.ifIdx = divert::sim::kEthernetIfIdx;
        const auto check = divert::sim::CheckChecksums(ip, item.ipLength);
        meta.ipChecksum = check.ip;
        meta.tcpChecksum = check.tcp;
        meta.udpChecksum = check.udp;
        if (!meta.outbound) observer.Expect(ip, item.ipLength, i);
        batch.push_back(divert::PacketRef{ip, static_cast<uint32_t>(item.ipLength), meta});
        if (batch.size() >= 64) {
            divert::Ingress(batch.data(), batch.size());
            batch.clear();
        }
    }
    divert::Ingress(batch.data(), batch.size());
    const double injectSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double spanSeconds =
        items.empty() ? 0 : static_cast<double>(items.back().frame.timeMicros - firstMicros) / 1e6;
    WaitForQuiet(observer, std::chrono::milliseconds(400), std::chrono::seconds(5));
    world->SetObserver(nullptr);
    session->Stop();

    // The books.
    RuntimeState& state = session->State();
    for (const IpListManager::BlockEntry& b : state.ipLists.BlockedList())
        report.blockedSources.push_back(b.address);
    const std::set<uint32_t> blocked(report.blockedSources.begin(), report.blockedSources.end());
    const std::vector<Fate> fates = observer.Fates();
    std::unordered_map<uint32_t, uint64_t> dropsBySource;
    CaptureWriter passed(reader->LinkType(), reader->SnapLength());
    CaptureWriter dropped(reader->LinkType(), reader->SnapLength());
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        switch (item.direction) {
            case Direction::Ignored:
                ++report.ignored;
                continue;
            case Direction::Outbound:
                ++report.outbound;
                if (!options.passedPath.empty()) passed.Add(item.frame);
                continue;
            case Direction::Inbound:
                break;
        }
        ++report.inbound;
        if (fates[i] == Fate::Passed) {
            ++report.passed;
            if (!options.passedPath.empty()) passed.Add(item.frame);
            continue;
        }
        ++report.dropped;
        if (fates[i] == Fate::FilterDropped) ++report.droppedByDriverFilters;
        const uint32_t source = Load32(item.frame.bytes.data() + *item.frame.ipOffset + 12);
        ++dropsBySource[source];
        if (blocked.count(source) != 0) ++report.droppedFromBlockedSources;
        if (!options.droppedPath.empty()) dropped.Add(item.frame);
    }
    const divert::HandleCounters losses = world->ClosedTotals();
    report.queueLoss = losses.overflow + losses.expired + losses.oversize;
    report.topSources.assign(dropsBySource.begin(), dropsBySource.end());
    std::sort(report.topSources.begin(), report.topSources.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    if (report.topSources.size() > options.topSources) report.topSources.resize(options.topSources);
    for (const PacketLogEntry& e : state.packetLog.EntriesAfter(0)) {
        ++report.reasons[ReasonOfLogLine(e.text)];
        report.logLines.push_back(e.text);
    }
    report.logEventsLost = static_cast<uint64_t>(session->Engine().GetDroppedLogCount());
    session.reset();
    world->Uninstall();

    out << "Replayed " << report.frames << " frames of " << options.capturePath << " at x"
        << options.speed << ": " << report.inbound << " inbound, " << report.outbound
        << " outbound, " << report.ignored << " ignored; the capture spans " << Format(spanSeconds)
        << " s, replayed in " << Format(injectSeconds) << " s\n"
        << "  passed  " << report.passed << "\n"
        << "  dropped " << report.dropped << " (driver filters " << report.droppedByDriverFilters
        << ", from blocked sources " << report.droppedFromBlockedSources << ", queue loss "
        << report.queueLoss << ")\n"
        << "  blocked sources " << report.blockedSources.size() << ", log lines "
        << report.logLines.size() << "\n";
    for (const auto& [address, drops] : report.topSources)
        out << "  top source " << FormatIpv4(address) << ": " << drops << " dropped\n";

    int status = 0;
    const auto write = [&](const CaptureWriter& w, const std::string& path) {
        if (path.empty()) return;
        std::string why;
        if (!w.WriteTo(path, &why)) {
            err << "bastion replay: " << why << "\n";
            status = 1;
        }
    };
    write(passed, options.passedPath);
    write(dropped, options.droppedPath);
    if (!options.reportPath.empty()) {
        AtomicFileWriter writer(options.reportPath);
        if (!writer.Open() || (writer.Write(report.ToJsonText()), !writer.Commit())) {
            err << "bastion replay: " << writer.Error() << "\n";
            status = 1;
        }
    }
    if (reportOut != nullptr) *reportOut = std::move(report);
    return status;
}

}  // namespace bastion::tools
