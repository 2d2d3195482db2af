// After the verdict: enforcement counters, the host's block list, the blocked-address queue,
// the worker's batch counters and the log; and the TCP option scanner.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <iterator>
#include <shared_mutex>
#include <thread>

#include "RuleTestSupport.h"
#include "conntrack/ConnectionTableOps.h"
#include "rules/Enforcement.h"
#include "rules/TcpOptions.h"

namespace bastion {
namespace {

using namespace testing_support;

class EnforcementTest : public RuleEngineTest {
  protected:
    std::vector<std::string> LoggedTexts() {
        std::vector<std::string> texts;
        std::lock_guard lock(engine->logState.logQueueMutex);
        for (size_t i = 0; i < engine->logState.logQueue.size(); ++i) {
            texts.push_back(engine->logState.logQueue[i].text);
        }
        return texts;
    }
    VerdictResult Verdict(bastion::Verdict verdict, std::string reason) {
        VerdictResult result;
        result.verdict = verdict;
        result.reason = std::move(reason);
        return result;
    }
};

TEST_F(EnforcementTest, EachVerdictIsCountedAndOnlyViolationsAreEnforced) {
    VerdictResult allow = Verdict(Verdict::Allow, "");
    VerdictResult drop = Verdict(Verdict::Drop, "dropped");
    VerdictResult block = Verdict(Verdict::BlockSource, "blocked");
    RecordVerdict(*engine, Packet::Tcp().From(Ip(10, 0, 0, 1)), allow);
    RecordVerdict(*engine, Packet::Tcp().From(Ip(10, 0, 0, 2)), drop);
    RecordVerdict(*engine, Packet::Tcp().From(Ip(10, 0, 0, 3)), block);

    EXPECT_EQ(scratch.processed, 3u);
    EXPECT_EQ(scratch.allowed, 1u);
    EXPECT_EQ(scratch.dropped, 1u);
    EXPECT_EQ(scratch.blocked, 1u);
    EXPECT_EQ(flushedRules().enforcedPackets.value, 2u);
    // Only the blocked source goes to the host's block list and to the queue.
    EXPECT_FALSE(state->ipLists.IsBlockedLockFree(Ip(10, 0, 0, 2)));
    EXPECT_TRUE(state->ipLists.IsBlockedLockFree(Ip(10, 0, 0, 3)));
    EXPECT_EQ(rules().blockedQueue.addresses, std::vector<uint32_t>{Ip(10, 0, 0, 3)});
    EXPECT_TRUE(rules().blockedQueue.pending);
    EXPECT_EQ(LoggedTexts(), (std::vector<std::string>{"dropped", "blocked"}));
}

TEST_F(EnforcementTest, ReasonsReachTheLogOnlyWhenTextsAreEnabledAndNotEmpty) {
    VerdictResult silent = Verdict(Verdict::Drop, "");
    RecordVerdict(*engine, Packet::Tcp(), silent);
    VerdictResult allowWithText = Verdict(Verdict::Allow, "not a violation");
    RecordVerdict(*engine, Packet::Tcp(), allowWithText);
    EXPECT_TRUE(LoggedTexts().empty());

    // File logging alone keeps a sink open, but verdict reasons are not wanted.
    AppConfig config;
    config.packetLogEnabled = false;
    config.statsLogEnabled = false;
    config.fileLogEnabled = true;
    engine->ApplyConfig(config);
    DiscardQueuedLog();
    VerdictResult stale = Verdict(Verdict::Drop, "built before the switch");
    RecordVerdict(*engine, Packet::Tcp(), stale);
    EXPECT_TRUE(LoggedTexts().empty());
    EXPECT_EQ(flushedRules().enforcedPackets.value, 2u);
}

TEST_F(EnforcementTest, IcmpViolationsAreLoggedTwiceWithStatisticsLogging) {
    SetIcmpRules({Rule(RuleKind::IcmpTotalPacketRate, "icmp", 1)});
    for (bool statsLog : {false, true}) {
        SCOPED_TRACE(statsLog);
        {
            std::lock_guard lock(engine->logState.logQueueMutex);
            while (!engine->logState.logQueue.empty())
                engine->logState.logQueue.PopFront();
        }
        Configure(true, true, true, true, statsLog);
        PacketView packet = Packet::Icmp(8);
        VerdictResult result = Icmp(packet);
        ASSERT_EQ(result.verdict, Verdict::Drop);
        std::string reason = result.reason;
        RecordVerdict(*engine, packet, result);
        std::vector<std::string> expected(statsLog ? 2 : 1, reason);
        EXPECT_EQ(LoggedTexts(), expected);
    }
}

TEST_F(EnforcementTest, ABusyOrFullQueueLosesTheEntryButNotTheBlock) {
    BlockedAddressQueue& queue = rules().blockedQueue;
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        std::lock_guard lock(queue.mutex);
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    VerdictResult block = Verdict(Verdict::BlockSource, "");
    RecordVerdict(*engine, Packet::Tcp(), block);
    release.set_value();
    holder.join();
    EXPECT_TRUE(queue.addresses.empty());
    EXPECT_FALSE(queue.pending);
    EXPECT_TRUE(state->ipLists.IsBlockedLockFree(kClient));

    for (uint32_t i = 0; i < kBlockedQueueLimit; ++i) {
        ASSERT_TRUE(QueueBlockedAddress(*engine, Ip(11, 0, 0, 0) + i));
    }
    EXPECT_FALSE(QueueBlockedAddress(*engine, Ip(12, 0, 0, 1)));
    EXPECT_EQ(queue.addresses.size(), kBlockedQueueLimit);
    EXPECT_EQ(queue.overflows, 1u);
}

TEST_F(EnforcementTest, BlockedAddressesLeaveConnectionTrackingSixtyFourPerPass) {
    auto source = [](uint32_t i) { return Ip(10, 60, 0, 0) + i; };
    auto tracked = [&](uint32_t address) {
        std::shared_lock lock(engine->connections.connTableLock);
        return engine->connections.connectionCountByAddress.contains(address);
    };
    {
        std::unique_lock lock(engine->connections.connTableLock);
        for (uint32_t i = 0; i < 110; ++i) {
            ConnectionKey key{};
            key.remoteAddr = source(i);
            key.localAddr = kServer;
            key.remotePort = 50000;
            key.localPort = 443;
            AddInboundConnection(engine->connections, key, kStart);
        }
    }
    EXPECT_EQ(ProcessBlockedQueue(*engine), 0u);  // nothing queued

    for (uint32_t i = 0; i < 100; ++i) {
        VerdictResult block = Verdict(Verdict::BlockSource, "");
        RecordVerdict(*engine, Packet::Tcp().From(source(i)), block);
    }
    EXPECT_EQ(ProcessBlockedQueue(*engine), 64u);
    for (uint32_t i = 0; i < 110; ++i)
        EXPECT_EQ(tracked(source(i)), i >= 64) << i;

    EXPECT_EQ(ProcessBlockedQueue(*engine), 36u);
    // Only the ten sources that were never blocked keep their connections.
    for (uint32_t i = 0; i < 110; ++i)
        EXPECT_EQ(tracked(source(i)), i >= 100) << i;
    EXPECT_EQ(engine->connections.activeAddressCount, 10u);
    EXPECT_EQ(ProcessBlockedQueue(*engine), 0u);
    EXPECT_FALSE(rules().blockedQueue.pending);
}

TEST_F(EnforcementTest, LeftoverAddressesKeepTheirPlaceAheadOfNewOnes) {
    for (uint32_t i = 0; i < 70; ++i)
        ASSERT_TRUE(QueueBlockedAddress(*engine, Ip(10, 61, 0, i)));
    EXPECT_EQ(ProcessBlockedQueue(*engine), 64u);
    ASSERT_TRUE(QueueBlockedAddress(*engine, Ip(10, 62, 0, 0)));
    std::vector<uint32_t> expected;
    for (uint32_t i = 64; i < 70; ++i)
        expected.push_back(Ip(10, 61, 0, i));
    expected.push_back(Ip(10, 62, 0, 0));
    EXPECT_EQ(rules().blockedQueue.addresses, expected);
    EXPECT_TRUE(rules().blockedQueue.pending);
}

// ---- TCP options ------------------------------------------------------------------------

// A 20-byte TCP header followed by `options`, padded with zeros to whole words; the data
// offset covers them unless given.
std::vector<uint8_t> TcpHeader(const std::vector<uint8_t>& options, int dataOffsetWords = -1) {
    const size_t words = (options.size() + 3) / 4;
    std::vector<uint8_t> header(20 + words * 4, 0);
    if (dataOffsetWords < 0) dataOffsetWords = static_cast<int>(5 + words);
    header[12] = static_cast<uint8_t>(dataOffsetWords << 4);
    for (size_t i = 0; i < options.size(); ++i)
        header[20 + i] = options[i];
    return header;
}

TEST(ScanTcpOptions, SummariesOfOptionAreas) {
    struct Case {
        const char* description;
        std::vector<uint8_t> header;
        uint16_t mss;
        uint8_t count;
        bool windowScale;
        bool timestamps;
    };
    const Case cases[] = {
        {"no option area", TcpHeader({}), 0, 0, false, false},
        {"a typical Linux SYN",
         TcpHeader({2, 4, 0x05, 0xB4, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7}), 1460, 4,
         true, true},
        {"NOPs are not counted", TcpHeader({1, 1, 1, 2, 4, 0x02, 0x18}), 536, 1, false, false},
        {"end of list stops the walk", TcpHeader({2, 4, 0x05, 0xB4, 0, 3, 3, 7}), 1460, 1, false,
         false},
        {"MSS of the wrong length is counted, not read", TcpHeader({2, 3, 0x05, 1, 1, 1}), 0, 1,
         false, false},
        {"length below 2 stops", TcpHeader({3, 3, 7, 9, 1, 8, 10}), 0, 1, true, false},
        {"length past the area stops", TcpHeader({2, 4, 0x05, 0xB4, 8, 10, 0, 0}), 1460, 1, false,
         false},
        {"no room for the length byte", TcpHeader({1, 1, 1, 30}, 6), 0, 0, false, false},
        {"unknown options are counted", TcpHeader({30, 2, 31, 3, 0}), 0, 2, false, false},
        {"window scale needs length 3", TcpHeader({3, 4, 7, 0}), 0, 1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        TcpOptionSummary summary = ScanTcpOptions(c.header.data(), c.header.size());
        EXPECT_EQ(summary.mss, c.mss);
        EXPECT_EQ(summary.optionCount, c.count);
        EXPECT_EQ(summary.hasWindowScale, c.windowScale);
        EXPECT_EQ(summary.hasTimestamps, c.timestamps);
    }
}

TEST(ScanTcpOptions, NeverReadsBeyondTheHeaderOrFortyOptionBytes) {
    // A data offset of 15 words claims 40 option bytes, but only 8 are there: the walk is cut
    // to what is available (AddressSanitizer checks the reads).
    std::vector<uint8_t> shortHeader = TcpHeader({2, 4, 0x05, 0xB4, 3, 3, 7, 1}, 15);
    std::vector<uint8_t> exact(shortHeader.begin(), shortHeader.end());
    TcpOptionSummary summary = ScanTcpOptions(exact.data(), exact.size());
    EXPECT_EQ(summary.mss, 1460);
    EXPECT_TRUE(summary.hasWindowScale);

    // Forty NOPs fill the largest option area (data offset 15); an MSS after them lies
    // outside the header and is not seen.
    std::vector<uint8_t> header(20 + 44, 1);
    header[12] = 15 << 4;
    const uint8_t mss[] = {2, 4, 0x05, 0xB4};
    std::copy(std::begin(mss), std::end(mss), header.begin() + 60);
    summary = ScanTcpOptions(header.data(), header.size());
    EXPECT_EQ(summary.optionCount, 0);
    EXPECT_EQ(summary.mss, 0);

    EXPECT_EQ(ScanTcpOptions(nullptr, 60).optionCount, 0);
    EXPECT_EQ(ScanTcpOptions(header.data(), 19).optionCount, 0);
}

}  // namespace
}  // namespace bastion
