#include "tools/Demo.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "tools/HalfOpenTimeout.h"
#include "tools/ObservedWorld.h"
#include "tools/TrafficGenerator.h"

namespace bastion::tools {
namespace {

using Clock = std::chrono::steady_clock;

double Percent(uint64_t part, uint64_t whole) {
    return whole == 0 ? 100.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

uint64_t InboundDelivered(const TrafficGenerator& g) {
    uint64_t n = 0;
    for (TrafficClass c : kAllTrafficClasses)
        n += g.Delivered(c);
    return n;
}

uint64_t InboundOffered(const TrafficGenerator& g) {
    uint64_t n = 0;
    for (TrafficClass c : kAllTrafficClasses)
        n += g.Offered(c);
    return n;
}

}  // namespace

double DemoResult::LegitimateDeliveredPercent() const {
    return Percent(legitimateDelivered, legitimateOffered);
}

double DemoResult::AttackDroppedPercent() const {
    return Percent(attackDropped, attackOffered);
}

int RunDemo(const DemoOptions& options, const HostConfig& setup, PacketProcessorFactory factory,
            PacketProcessorDestroyer destroyer, std::ostream& out, std::ostream& err,
            DemoResult* resultOut) {
    auto world = ObservedWorld::Install();
    GeneratorOptions generatorOptions;
    generatorOptions.server = world->Sim().LocalAddress();
    generatorOptions.threads = options.threads;
    generatorOptions.holdSeconds = options.holdSeconds;
    for (uint16_t port : generatorOptions.tcpPorts)
        world->Sim().Stack().Listen(port);
    TrafficGenerator generator(generatorOptions);
    world->SetObserver(&generator);

    std::string error;
    auto session = EngineSession::Open(factory, destroyer, setup, &error);
    if (!session) {
        world->SetObserver(nullptr);
        world->Uninstall();
        err << "bastion demo: " << error << "\n";
        return 1;
    }
    IPacketProcessor& engine = session->Engine();
    RuntimeState& state = session->State();

    out << "Scenario \"" << options.scenario.name << "\": " << options.scenario.seconds
        << " s against " << divert::sim::FormatIpv4(generatorOptions.server)
        << " (TCP 80, 443; UDP " << generatorOptions.udpPort << ")\n";
    generator.Start(options.scenario);
    HalfOpenTimeout halfOpen(world->Sim().Stack());

    // One line per second while the scenario runs.
    std::array<uint64_t, kTrafficClassCount> lastOffered{};
    uint64_t lastIn = 0, lastDelivered = 0;
    const Clock::time_point start = Clock::now();
    for (int second = 1; !generator.Finished(); ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        if (generator.Finished()) break;
        halfOpen.Run(second);
        std::string classes;
        for (TrafficClass c : kAllTrafficClasses) {
            const uint64_t now = generator.Offered(c);
            const uint64_t delta = now - lastOffered[static_cast<size_t>(c)];
            lastOffered[static_cast<size_t>(c)] = now;
            // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on `" " + string`.
            if (delta != 0)
                classes.append(" ").append(ClassName(c)).append(" ").append(std::to_string(delta));
        }
        const uint64_t in = InboundOffered(generator), delivered = InboundDelivered(generator);
        const uint64_t offeredDelta = in - lastIn, deliveredDelta = delivered - lastDelivered;
        lastIn = in;
        lastDelivered = delivered;
        const AppMetrics m = engine.GetMetrics();
        out << Format("%3.0fs", second) << "  offered " << offeredDelta << " pps ["
            << (classes.empty() ? std::string(" none") : classes) << " ]  engine "
            << Format("%.0f", m.currentPps + m.udpPps + m.icmpPps) << " pps  drops "
            << (offeredDelta > deliveredDelta ? offeredDelta - deliveredDelta : 0)
            << "/s  connections " << m.activeConnections << "  blocked "
            << state.ipLists.BlockedCount() << std::endl;
    }
    generator.Join();
    // Packets still queued in the engine get their verdicts before the books close.
    {
        uint64_t last = InboundDelivered(generator);
        Clock::time_point changed = Clock::now();
        const Clock::time_point limit = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < limit && Clock::now() - changed < std::chrono::milliseconds(300)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const uint64_t now = InboundDelivered(generator);
            if (now != last) {
                last = now;
                changed = Clock::now();
            }
        }
    }
    world->SetObserver(nullptr);

    DemoResult r;
    for (TrafficClass c : kAllTrafficClasses) {
        const size_t i = static_cast<size_t>(c);
        r.offered[i] = generator.Offered(c);
        r.delivered[i] = std::min(generator.Delivered(c), r.offered[i]);
        if (IsLegitimate(c)) {
            r.legitimateOffered += r.offered[i];
            r.legitimateDelivered += r.delivered[i];
        } else {
            r.attackOffered += r.offered[i];
            r.attackDropped += r.offered[i] - r.delivered[i];
        }
    }
    r.sourcesBlocked = state.ipLists.BlockedCount();
    r.logLines = state.packetLog.LastSequence();
    for (const PacketLogEntry& e : state.packetLog.EntriesAfter(0))
        ++r.reasons[ReasonOfLogLine(e.text)];
    r.logEventsLost = static_cast<uint64_t>(engine.GetDroppedLogCount());
    const auto stats = generator.Clients().GetStats();
    session->Stop();
    const divert::HandleCounters losses = world->ClosedTotals();
    r.queueLoss = losses.overflow + losses.expired + losses.oversize;
    session.reset();
    world->Uninstall();

    out << "\nSummary\n"
        << "  legitimate packets delivered: " << r.legitimateDelivered << " of "
        << r.legitimateOffered << Format(" (%.2f%%)", r.LegitimateDeliveredPercent()) << "\n";
    for (TrafficClass c : kAllTrafficClasses) {
        const size_t i = static_cast<size_t>(c);
        if (r.offered[i] == 0) continue;
        out << "    " << ClassName(c) << ": " << r.delivered[i] << " of " << r.offered[i]
            << " delivered" << Format(" (%.2f%%)", Percent(r.delivered[i], r.offered[i])) << "\n";
    }
    out << "  legitimate TCP conversations: " << stats.opened << " opened, " << stats.established
        << " established, " << stats.closed << " closed, " << stats.failed << " failed\n"
        << "  attack packets dropped: " << r.attackDropped << " of " << r.attackOffered
        << Format(" (%.2f%%)", r.AttackDroppedPercent()) << "\n"
        << "  sources blocked: " << r.sourcesBlocked << "\n"
        << "  log lines written: " << r.logLines << " (" << r.logEventsLost
        << " events lost to a busy log queue)\n"
        << "  packets lost in the engine's queue: " << r.queueLoss << "\n"
        << "  log lines per reason:\n";
    for (const auto& [reason, count] : r.reasons)
        out << "    " << count << "  " << reason << "\n";
    if (resultOut != nullptr) *resultOut = std::move(r);
    return 0;
}

}  // namespace bastion::tools
