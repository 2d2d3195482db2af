// The packet path's reader against the writers of the connection tables: it never waits for
// a writer, and what it reads is never torn.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "conntrack/ConnectionTracking.h"
#include "conntrack/FlowTracking.h"
#include "engine/PacketProcessor.h"
#include "tests/conntrack/TableChecks.h"

namespace bastion {
namespace {

using testing::Inbound;
using testing::MakeFlowEvent;
using testing::Row;
using testing::TablesConsistent;

constexpr uint32_t kLocal = 0x0A000001;
constexpr uint32_t kClient = 0xC6336401;

class ConnectionTablesConcurrencyTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetSystemTables(system_); }
    void TearDown() override { platform::SetSystemTables(nullptr); }

    std::shared_ptr<testing::ScriptedTcpTable> system_ =
        std::make_shared<testing::ScriptedTcpTable>();
    RuntimeState state_;
    PacketProcessor engine_{state_};
};

TEST_F(ConnectionTablesConcurrencyTest, ReaderGivesUpWhileWriterHoldsLock) {
    ApplyFlowEvent(
        engine_,
        MakeFlowEvent({WINDIVERT_EVENT_FLOW_ESTABLISHED, false, kLocal, 80, kClient, 5000}), 1);
    std::unique_lock writer(engine_.connections.connTableLock);
    // A reader that waited would never return while this thread holds the lock.
    auto busy = std::async(std::launch::async, [this] {
                    ConnectionFacts facts;
                    facts.addressConnections = 99;
                    bool read = TryReadConnectionFacts(engine_.connections, kClient, 80, facts);
                    return std::make_pair(read, facts.addressConnections);
                }).get();
    EXPECT_FALSE(busy.first);
    EXPECT_EQ(busy.second, 99u);  // untouched
    writer.unlock();
    ConnectionFacts facts;
    ASSERT_TRUE(TryReadConnectionFacts(engine_.connections, kClient, 80, facts));
    EXPECT_EQ(facts.addressConnections, 1u);
}

// One flow thread and one cleanup thread write while two packet-path readers read. Each
// address keeps its connections on one local port, so whatever a reader sees, the port's
// count equals the address's count and both are bounded by what was ever opened.
TEST_F(ConnectionTablesConcurrencyTest, ReadersSeeWholeCountsWhileWritersRun) {
    constexpr int kAddresses = 32;
    constexpr int kPortsPerAddress = 8;
    std::vector<platform::TcpRow> half;
    for (int a = 0; a < kAddresses; ++a) {
        for (int p = 0; p < kPortsPerAddress / 2; ++p) {
            half.push_back(Row(Inbound(kClient + a, static_cast<uint16_t>(40000 + p), kLocal, 80)));
        }
    }
    system_->SetRows(half);

    std::atomic<bool> writing{true};
    std::atomic<uint64_t> reads{0}, busy{0}, torn{0};
    auto reader = [&] {
        uint32_t a = 0;
        do {
            ConnectionFacts facts;
            if (!TryReadConnectionFacts(engine_.connections, kClient + a % kAddresses, 80, facts)) {
                busy.fetch_add(1, std::memory_order_relaxed);
            } else {
                reads.fetch_add(1, std::memory_order_relaxed);
                if (facts.addressPortConnections != facts.addressConnections ||
                    facts.addressConnections > kPortsPerAddress ||
                    facts.activeAddresses > kAddresses) {
                    torn.fetch_add(1, std::memory_order_relaxed);
                }
            }
            ++a;
        } while (writing.load(std::memory_order_relaxed));
    };
    std::thread readerOne(reader), readerTwo(reader);

    std::thread flow([&] {
        for (int round = 0; round < 40; ++round) {
            for (int a = 0; a < kAddresses; ++a) {
                for (int p = 0; p < kPortsPerAddress; ++p) {
                    bool establish = (round + p) % 3 != 0;
                    ApplyFlowEvent(
                        engine_,
                        MakeFlowEvent({establish ? WINDIVERT_EVENT_FLOW_ESTABLISHED
                                                 : WINDIVERT_EVENT_FLOW_DELETED,
                                       false, kLocal, 80, kClient + static_cast<uint32_t>(a),
                                       static_cast<uint16_t>(40000 + p)}),
                        round + 1);
                }
            }
        }
    });
    std::thread cleanup([&] {
        for (int round = 0; round < 60; ++round) {
            RebuildConnectionCounts(engine_);
            if (round % 4 == 0) RefreshTcpConnectionTable(engine_);
            if (round % 5 == 0)
                ForgetSourceConnections(engine_,
                                        kClient + static_cast<uint32_t>(round % kAddresses));
        }
    });
    flow.join();
    cleanup.join();
    writing.store(false);
    readerOne.join();
    readerTwo.join();

    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GE(reads.load() + busy.load(), 2u);
    std::unique_lock lock(engine_.connections.connTableLock);
    EXPECT_TRUE(TablesConsistent(engine_.connections));
}

}  // namespace
}  // namespace bastion
