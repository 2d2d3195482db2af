// Reloads through the real engine on the simulated network: which changes reopen the
// main diversion handle.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "control/Daemon.h"
#include "divert/runtime/Trace.h"
#include "divert/sim/SimWorld.h"
#include "host/Factory.h"
#include "platform/Clock.h"

namespace bastion {
namespace {

constexpr INT16 kMainPriority = 29983;

class DaemonEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        world_ = divert::sim::SimWorld::Install();
        world_->SetRecording(false);
        char pattern[] = "/tmp/bastion-reload-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/bastion.json";
    }
    void TearDown() override {
        divert::SetTraceEnabled(false);
        world_->Uninstall();
        std::filesystem::remove_all(dir_);
    }

    void Write(const std::string& ports, int blockSeconds) {
        std::ofstream(path_) << R"({"host": {"stateDirectory": ")" << dir_
                             << R"(/state"}, "firewallBlockDurationSeconds": )" << blockSeconds
                             << R"(, "tcp": {"ports": [)" << ports << "]}}";
    }

    // The summary lines the engine logged so far, waiting up to 2 s for `count` of them
    // (the logging thread delivers them).
    std::vector<std::string> Summaries(RuntimeState& state, size_t count) {
        std::vector<std::string> lines;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        do {
            lines.clear();
            for (const PacketLogEntry& entry : state.packetLog.Snapshot()) {
                if (entry.text.rfind("Cấu hình - ", 0) == 0) lines.push_back(entry.text);
            }
            if (lines.size() >= count) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < end);
        return lines;
    }

    static size_t MainOpens() {
        size_t opens = 0;
        for (const divert::TraceRecord& record : divert::TakeTrace()) {
            if (record.function == divert::ApiFunction::Open && record.priority == kMainPriority &&
                record.result) {
                ++opens;
            }
        }
        return opens;
    }

    std::shared_ptr<divert::sim::SimWorld> world_;
    std::string dir_;
    std::string path_;
};

TEST_F(DaemonEngineTest, OnlyAChangedPortSetReopensTheMainHandle) {
    Write("80", 300);
    Daemon daemon(&CreatePacketProcessor, &DestroyPacketProcessor);
    std::vector<ConfigProblem> problems;
    divert::SetTraceEnabled(true);
    ASSERT_TRUE(daemon.Start(path_, "", problems));
    EXPECT_EQ(MainOpens(), 1u);
    EXPECT_EQ(Summaries(daemon.State(), 1),
              (std::vector<std::string>{"Cấu hình - TCP: all IP, port 80"}));

    // A new block duration is applied in place: same handle, no summary.
    Write("80", 600);
    ASSERT_TRUE(daemon.Reload().applied);
    EXPECT_EQ(MainOpens(), 0u);
    ASSERT_TRUE(daemon.State().ipLists.AddToBlock(0xC6336401, WallTicksNow()));
    int64_t expiry = daemon.State().ipLists.BlockedList().front().expiresAt;
    EXPECT_NEAR(static_cast<double>(expiry - WallTicksNow()) / kWallTicksPerSecond, 600, 5);

    // A new port set needs a new filter: the handle is reopened and summarised.
    Write("80, 8080", 600);
    ASSERT_TRUE(daemon.Reload().applied);
    EXPECT_EQ(MainOpens(), 1u);
    EXPECT_EQ(Summaries(daemon.State(), 2),
              (std::vector<std::string>{"Cấu hình - TCP: all IP, port 80",
                                        "Cấu hình - TCP: all IP, port 80+8080"}));
    EXPECT_EQ(daemon.Engine().GetConfig().tcpPorts, (std::set<uint16_t>{80, 8080}));
    EXPECT_EQ(daemon.Stop(), "");
}

}  // namespace
}  // namespace bastion
