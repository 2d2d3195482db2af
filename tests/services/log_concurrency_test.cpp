// The log queue between threads: producers never wait on a busy lock, the logging thread
// drains everything queued before its stop, and no event is lost without being counted.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "services/Supervision.h"
#include "tests/services/LogTestSupport.h"

namespace bastion {
namespace {

using testing::FakeExecutablePath;
using testing::LoggingEngine;
using testing::PacketLogTexts;
using testing::QueuedTexts;
using testing::ReadWholeFile;
using testing::ScratchDir;

// The logging thread as the engine runs it.
class LoggingThread {
  public:
    explicit LoggingThread(PacketProcessor& engine) : engine_(engine) {
        engine.logState.loggingRunning = true;
        thread_ = std::thread([this] { RunLoggingThread(engine_); });
    }
    ~LoggingThread() { Stop(); }
    void Stop() {
        if (!thread_.joinable()) return;
        RequestLoggingStop(engine_);
        thread_.join();
    }

  private:
    PacketProcessor& engine_;
    std::thread thread_;
};

TEST(LogQueueConcurrency, BusyQueueLockCountsADropAndNeverBlocks) {
    LoggingEngine fixture({.packetLog = true});
    PacketProcessor& engine = *fixture.engine;
    std::promise<void> held;
    std::promise<void> release;
    std::thread holder([&] {
        std::lock_guard lock(engine.logState.logQueueMutex);
        held.set_value();
        // Bounded, so that a producer that does block shows up as a slow emit, not a hang.
        release.get_future().wait_for(std::chrono::seconds(2));
    });
    held.get_future().wait();

    const int64_t start = SteadyNowNs();
    for (int i = 0; i < 10; ++i)
        EmitLogEvent(engine, "while busy");
    const int64_t elapsed = SteadyNowNs() - start;
    release.set_value();
    holder.join();

    EXPECT_LT(elapsed, 500 * kNsPerMs);
    EXPECT_EQ(engine.droppedLogEvents.load(), 10u);
    EXPECT_TRUE(QueuedTexts(engine).empty());
    EmitLogEvent(engine, "after release");
    EXPECT_EQ(QueuedTexts(engine), std::vector<std::string>{"after release"});
    EXPECT_EQ(engine.droppedLogEvents.load(), 10u);
}

TEST(LogQueueConcurrency, StopWritesAllHundredQueuedEvents) {
    ScratchDir dir;
    FakeExecutablePath fake((dir.path() / "bastion").wstring());
    LoggingEngine fixture({.packetLog = true, .fileLog = true});
    PacketProcessor& engine = *fixture.engine;
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        expected.push_back("event " + std::to_string(i));
        EmitLogEvent(engine, expected.back());
    }
    {
        LoggingThread logging(engine);
        logging.Stop();  // at once: whatever the thread had not yet written is drained
    }
    EXPECT_TRUE(QueuedTexts(engine).empty());
    EXPECT_EQ(PacketLogTexts(fixture.state), expected);

    const std::string file = ReadWholeFile(dir.path() / "log.txt");
    size_t lines = 0;
    for (size_t pos = 0; (pos = file.find("\r\n", pos)) != std::string::npos; pos += 2)
        ++lines;
    EXPECT_EQ(lines, 100u);
    EXPECT_NE(file.find("] event 99\r\n"), std::string::npos);
}

TEST(LogQueueConcurrency, StopWakesAnIdleLoggingThreadEveryTime) {
    // A stop that slipped in between the thread's emptiness check and its wait would hang
    // the join; repeat to give that window many chances.
    LoggingEngine fixture({.packetLog = true});
    for (int round = 0; round < 300; ++round) {
        LoggingThread logging(*fixture.engine);
        if (round % 3 == 0) EmitLogEvent(*fixture.engine, "round");
        logging.Stop();
    }
    EXPECT_TRUE(QueuedTexts(*fixture.engine).empty());
}

TEST(LogQueueConcurrency, EveryEventIsWrittenOrCountedAndOrderPerProducerHolds) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 5'000;
    LoggingEngine fixture({.packetLog = true});
    fixture.state.packetLog.SetCapacity(kProducers * kPerProducer);
    PacketProcessor& engine = *fixture.engine;
    {
        LoggingThread logging(engine);
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&engine, p] {
                for (int i = 0; i < kPerProducer; ++i) {
                    EmitLogEvent(engine, std::to_string(p) + ":" + std::to_string(i));
                }
            });
        }
        for (auto& producer : producers)
            producer.join();
    }
    const std::vector<std::string> written = PacketLogTexts(fixture.state);
    EXPECT_EQ(written.size() + engine.droppedLogEvents.load(),
              static_cast<uint64_t>(kProducers * kPerProducer));
    std::map<int, int> last;
    for (const std::string& text : written) {
        const size_t colon = text.find(':');
        const int producer = std::stoi(text.substr(0, colon));
        const int index = std::stoi(text.substr(colon + 1));
        auto [it, first] = last.try_emplace(producer, index);
        if (!first) {
            EXPECT_GT(index, it->second) << "producer " << producer;
            it->second = index;
        }
    }
}

TEST(LogQueueConcurrency, FileSwitchedOnAndOffWhileTheLoggingThreadWrites) {
    ScratchDir dir;
    FakeExecutablePath fake((dir.path() / "bastion").wstring());
    LoggingEngine fixture({.packetLog = true, .fileLog = true});
    PacketProcessor& engine = *fixture.engine;
    {
        LoggingThread logging(engine);
        std::thread producer([&engine] {
            for (int i = 0; i < 2'000; ++i)
                EmitLogEvent(engine, "line " + std::to_string(i));
        });
        for (int i = 0; i < 50; ++i)
            SetFileLogging(engine, i % 2 == 0);
        SetFileLogging(engine, true);
        producer.join();
    }
    // Whatever reached the file did so in whole lines.
    const std::string file = ReadWholeFile(dir.path() / "log.txt");
    EXPECT_TRUE(file.empty() || file.ends_with("\r\n"));
    size_t lineStart = 0;
    for (size_t pos = 0; (pos = file.find("\r\n", pos)) != std::string::npos; pos += 2) {
        EXPECT_EQ(file[lineStart], '[');
        lineStart = pos + 2;
    }
}

}  // namespace
}  // namespace bastion
