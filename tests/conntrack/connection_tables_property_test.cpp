// Random sequences of flow events, refreshes against the system's table, recounts and
// forgets, checked after every step against a plain model of the tracked connections and
// against every table invariant.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <tuple>
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

auto Tie(const ConnectionKey& k) {
    return std::tie(k.remoteAddr, k.localAddr, k.remotePort, k.localPort);
}
struct KeyLess {
    bool operator()(const ConnectionKey& a, const ConnectionKey& b) const {
        return Tie(a) < Tie(b);
    }
};

class ConnectionTablesPropertyTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    void SetUp() override { platform::SetSystemTables(system_); }
    void TearDown() override { platform::SetSystemTables(nullptr); }

    std::shared_ptr<testing::ScriptedTcpTable> system_ =
        std::make_shared<testing::ScriptedTcpTable>();
    RuntimeState state_;
    PacketProcessor engine_{state_};
};

TEST_P(ConnectionTablesPropertyTest, InvariantsHoldAfterEveryOperation) {
    std::mt19937 rng(GetParam());
    // Few addresses and ports so that connections share them often.
    auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    auto randomKey = [&] {
        return Inbound(0xC6336400u + pick(6), static_cast<uint16_t>(40000 + pick(8)),
                       0x0A000001u + pick(2), static_cast<uint16_t>(80 + pick(3)));
    };

    std::set<ConnectionKey, KeyLess> inbound;   // model: tracked inbound connections
    std::set<ConnectionKey, KeyLess> outbound;  // model: tracked outbound, seen from our side
    int64_t now = 1;

    for (int step = 0; step < 3000; ++step) {
        ++now;
        uint32_t op = pick(100);
        if (op < 35) {
            ConnectionKey key = randomKey();
            ApplyFlowEvent(engine_,
                           MakeFlowEvent({WINDIVERT_EVENT_FLOW_ESTABLISHED, false, key.localAddr,
                                          key.localPort, key.remoteAddr, key.remotePort}),
                           now);
            inbound.insert(key);
        } else if (op < 60) {
            ConnectionKey key = randomKey();
            ApplyFlowEvent(engine_,
                           MakeFlowEvent({WINDIVERT_EVENT_FLOW_DELETED, false, key.localAddr,
                                          key.localPort, key.remoteAddr, key.remotePort}),
                           now);
            inbound.erase(key);
        } else if (op < 70) {
            ConnectionKey key = randomKey();
            bool establish = pick(2) == 0;
            ApplyFlowEvent(
                engine_,
                MakeFlowEvent(
                    {establish ? WINDIVERT_EVENT_FLOW_ESTABLISHED : WINDIVERT_EVENT_FLOW_DELETED,
                     true, key.localAddr, key.localPort, key.remoteAddr, key.remotePort}),
                now);
            if (establish) {
                outbound.insert(key);
            } else {
                outbound.erase(key);
            }
        } else if (op < 80) {
            // The system still has most tracked connections established, some in other
            // states, and some it lists were never announced.
            std::vector<platform::TcpRow> rows;
            std::set<ConnectionKey, KeyLess> kept;
            for (const auto* model : {&inbound, &outbound}) {
                for (const ConnectionKey& key : *model) {
                    uint32_t fate = pick(10);
                    if (fate < 7) {
                        rows.push_back(Row(key));
                        kept.insert(key);
                    } else if (fate < 8) {
                        rows.push_back(Row(key, platform::TcpState::TimeWait));
                    }
                }
            }
            for (int i = 0; i < 3; ++i) {
                ConnectionKey listed = randomKey();
                rows.push_back(Row(listed));
                kept.insert(listed);
            }
            system_->SetRows(rows);
            RefreshTcpConnectionTable(engine_);
            std::erase_if(inbound, [&](const ConnectionKey& key) { return !kept.contains(key); });
            std::erase_if(outbound, [&](const ConnectionKey& key) { return !kept.contains(key); });
        } else if (op < 90) {
            uint32_t address = 0xC6336400u + pick(6);
            ForgetSourceConnections(engine_, address);
            std::erase_if(inbound,
                          [&](const ConnectionKey& key) { return key.remoteAddr == address; });
        } else {
            RebuildConnectionCounts(engine_);
        }

        ASSERT_TRUE(TablesConsistent(engine_.connections)) << "step " << step << " op " << op;
        ASSERT_EQ(engine_.connections.inboundConnections.size(), inbound.size()) << "step " << step;
        for (const ConnectionKey& key : inbound) {
            ASSERT_TRUE(engine_.connections.inboundConnections.contains(key)) << "step " << step;
        }
        ASSERT_EQ(engine_.connections.outboundConnections.size(), outbound.size())
            << "step " << step;
        for (const ConnectionKey& key : outbound) {
            OutboundKey out{key.localAddr, key.remoteAddr, key.localPort, key.remotePort};
            ASSERT_TRUE(engine_.connections.outboundConnections.contains(out)) << "step " << step;
        }
        std::set<uint32_t> addresses;
        for (const ConnectionKey& key : inbound)
            addresses.insert(key.remoteAddr);
        ASSERT_EQ(engine_.GetMetrics().activeConnections, addresses.size()) << "step " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ConnectionTablesPropertyTest,
                         ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u));

}  // namespace
}  // namespace bastion
