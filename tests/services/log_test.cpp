// The log queue's bounds and filters, the line format, the log file's location and life,
// and what each sink receives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/Clock.h"
#include "tests/services/LogTestSupport.h"

namespace bastion {
namespace {

using testing::DrainLog;
using testing::FakeExecutablePath;
using testing::LoggingEngine;
using testing::LogSwitches;
using testing::MakeEvent;
using testing::PacketLogTexts;
using testing::QueuedTexts;
using testing::ReadWholeFile;
using testing::ScratchDir;

// ---- Queue ------------------------------------------------------------------------------

TEST(LogQueue, KeepsTheNewest2048EventsAndCountsOneDropAt2049) {
    LoggingEngine fixture({.packetLog = true});
    PacketProcessor& engine = *fixture.engine;
    ASSERT_EQ(fixture.log().logQueueCapacity, 2048u);
    for (int i = 0; i < 2049; ++i)
        EmitLogEvent(engine, std::to_string(i));

    std::vector<std::string> queued = QueuedTexts(engine);
    ASSERT_EQ(queued.size(), 2048u);
    EXPECT_EQ(queued.front(), "1");  // event 0 gave way
    EXPECT_EQ(queued.back(), "2048");
    EXPECT_EQ(engine.droppedLogEvents.load(), 1u);
    EXPECT_EQ(engine.GetDroppedLogCount(), 1);
}

TEST(LogQueue, FullQueueReusesItsStorage) {
    LoggingEngine fixture({.packetLog = true});
    for (int i = 0; i < 2048; ++i)
        EmitLogEvent(*fixture.engine, "warm-up");
    const size_t slots = fixture.log().logQueue.slotCount();
    for (int i = 0; i < 10'000; ++i)
        EmitLogEvent(*fixture.engine, "steady");
    EXPECT_EQ(fixture.log().logQueue.slotCount(), slots);
    EXPECT_EQ(fixture.log().logQueue.size(), 2048u);
    EXPECT_EQ(fixture.engine->droppedLogEvents.load(), 10'000u);
}

TEST(LogQueue, AnySinkSwitchKeepsEventsAndAllOffDiscardsWithoutCounting) {
    struct Case {
        const char* name;
        LogSwitches switches;
        bool fileActive;
        size_t queued;
    };
    const Case cases[] = {
        {"all off", {}, false, 0},
        {"packet log", {.packetLog = true}, false, 1},
        {"stats log", {.statsLog = true}, false, 1},
        // The configuration wants the file even while it could not be opened.
        {"file switch", {.fileLog = true}, false, 1},
        {"file open", {}, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggingEngine fixture(c.switches);
        fixture.log().fileLogActive = c.fileActive;
        EmitLogEvent(*fixture.engine, "event");
        EXPECT_EQ(QueuedTexts(*fixture.engine).size(), c.queued);
        EXPECT_EQ(fixture.engine->droppedLogEvents.load(), 0u);
    }
}

TEST(LogQueue, NestedEmissionDeeperThanTwoLevelsIsDiscarded) {
    // Depth = EmitLogEvent calls already in progress on this thread.
    for (int depth = 0; depth <= 3; ++depth) {
        SCOPED_TRACE(depth);
        LoggingEngine fixture({.packetLog = true});
        {
            std::vector<std::unique_ptr<LogNestingScope>> scopes;
            for (int i = 0; i < depth; ++i)
                scopes.push_back(std::make_unique<LogNestingScope>());
            EmitLogEvent(*fixture.engine, "nested");
            EXPECT_EQ(LogNestingScope::Depth(), depth);  // restored on the way out
        }
        EXPECT_EQ(QueuedTexts(*fixture.engine).size(), depth < 2 ? 1u : 0u);
        EXPECT_EQ(fixture.engine->droppedLogEvents.load(), 0u);
    }
    EXPECT_EQ(LogNestingScope::Depth(), 0);
}

TEST(LogQueue, EventsAreMovedNotCopied) {
    static_assert(!std::is_copy_constructible_v<LogEvent>);
    static_assert(!std::is_copy_assignable_v<LogEvent>);
    static_assert(std::is_nothrow_move_constructible_v<LogEvent>);

    LoggingEngine fixture({.packetLog = true});
    LogEvent event = MakeEvent(std::string(200, 'x'));
    event.aux = 7;
    event.detail1 = "first detail carried along";
    const char* buffer = event.text.data();
    EmitLogEvent(*fixture.engine, std::move(event));

    LogState& log = fixture.log();
    std::lock_guard lock(log.logQueueMutex);
    ASSERT_EQ(log.logQueue.size(), 1u);
    EXPECT_EQ(log.logQueue[0].text.data(), buffer);  // the producer's own buffer
    EXPECT_EQ(log.logQueue[0].aux, 7);
    EXPECT_EQ(log.logQueue[0].detail1, "first detail carried along");
}

TEST(LogQueue, TextOverloadStampsWallClockTimeAndVisibility) {
    LoggingEngine fixture({.packetLog = true});
    const int64_t before = WallTicksNow();
    EmitLogEvent(*fixture.engine, "stamped");
    const int64_t after = WallTicksNow();

    LogState& log = fixture.log();
    std::lock_guard lock(log.logQueueMutex);
    ASSERT_EQ(log.logQueue.size(), 1u);
    const LogEvent& event = log.logQueue[0];
    EXPECT_EQ(event.visible, 1);
    EXPECT_EQ(event.aux, 0);
    EXPECT_GE(event.time, static_cast<uint64_t>(before));
    EXPECT_LE(event.time, static_cast<uint64_t>(after));
}

// ---- Line format ------------------------------------------------------------------------

// Sets TZ for the test's duration.
class TimeZone {
  public:
    explicit TimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (hadOld_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    bool hadOld_ = false;
    std::string old_;
};

TEST(FormatLogLine, LocalDateTimeMillisecondsAndText) {
    constexpr uint64_t kTicksPerSecond = 10'000'000;
    constexpr uint64_t kTicksPerMs = 10'000;
    // 2025-03-01 07:05:09 UTC.
    constexpr uint64_t kMarchFirst = 1'740'812'709ull * kTicksPerSecond;
    struct Case {
        const char* zone;
        uint64_t time;
        const char* text;
        const char* line;
    };
    const Case cases[] = {
        {"UTC0", 0, "abc", "[1970-01-01 00:00:00.000] abc"},
        {"ICT-7", 0, "abc", "[1970-01-01 07:00:00.000] abc"},
        {"XST5", 0, "abc", "[1969-12-31 19:00:00.000] abc"},
        // 14:05:09.042 local; sub-millisecond ticks are cut, not rounded.
        {"ICT-7", kMarchFirst + 42 * kTicksPerMs + 9'999, "abc", "[2025-03-01 14:05:09.042] abc"},
        {"UTC0", kMarchFirst + 999 * kTicksPerMs, "", "[2025-03-01 07:05:09.999] "},
        {"UTC0", kMarchFirst + 7 * kTicksPerMs, "[🚨] Cảnh báo",
         "[2025-03-01 07:05:09.007] [🚨] Cảnh báo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.line);
        TimeZone zone(c.zone);
        EXPECT_EQ(FormatLogLine(MakeEvent(c.text, c.time)), c.line);
    }
}

// ---- Log file location ------------------------------------------------------------------

TEST(ResolveLogFilePath, BesideTheExecutableElseTheCurrentDirectory) {
    const std::wstring cwdLog = (std::filesystem::current_path() / "log.txt").wstring();
    auto exeOfLength = [](size_t length) {
        std::wstring dir = L"/srv/" + std::wstring(length - 13, L'd');  // 5 + n + 8 = length
        return dir + L"/bastion";
    };
    struct Case {
        const char* name;
        std::wstring exe;
        std::wstring expected;
    };
    const std::wstring exe259 = exeOfLength(259);
    const Case cases[] = {
        {"usual", L"/opt/bastion/bin/bastion", L"/opt/bastion/bin/log.txt"},
        {"in the root", L"/bastion", L"/log.txt"},
        {"no directory part", L"bastion", cwdLog},
        {"259 characters", exe259, exe259.substr(0, exe259.size() - 7) + L"log.txt"},
        {"260 characters (truncated)", exeOfLength(260), cwdLog},
        {"400 characters", exeOfLength(400), cwdLog},
    };
    ASSERT_EQ(exe259.size(), 259u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeExecutablePath fake(c.exe);
        LoggingEngine fixture({});
        EXPECT_EQ(fixture.log().logFilePath, c.expected);
    }
}

TEST(ResolveLogFilePath, IsComputedOnce) {
    LoggingEngine fixture({});
    const std::wstring first = fixture.log().logFilePath;
    FakeExecutablePath fake(L"/elsewhere/bastion");
    ResolveLogFilePath(*fixture.engine);
    EXPECT_EQ(fixture.log().logFilePath, first);
}

// ---- Log file -------------------------------------------------------------------------

// An engine whose "executable" lives in `dir`, so that its log file is dir/log.txt.
struct EngineInDir {
    FakeExecutablePath fake;
    LoggingEngine fixture;
    EngineInDir(const std::filesystem::path& dir, LogSwitches switches)
        : fake((dir / "bastion").wstring()), fixture(switches) {}
    PacketProcessor& engine() { return *fixture.engine; }
};

TEST(LogFile, IsAppendedNotTruncatedAcrossEngineRestarts) {
    ScratchDir dir;
    const auto file = dir.path() / "log.txt";
    { std::ofstream(file, std::ios::binary) << "earlier run\r\n"; }

    const LogEvent first = MakeEvent("first engine", 10'000'000);
    const LogEvent second = MakeEvent("second engine", 20'000'000);
    {
        EngineInDir run(dir.path(), {.fileLog = true});
        ASSERT_TRUE(run.fixture.log().fileLogActive);
        EmitLogEvent(run.engine(), MakeEvent(first.text, first.time));
        DrainLog(run.engine());
    }
    {
        EngineInDir run(dir.path(), {.fileLog = true});
        EmitLogEvent(run.engine(), MakeEvent(second.text, second.time));
        DrainLog(run.engine());
    }
    EXPECT_EQ(ReadWholeFile(file),
              "earlier run\r\n" + FormatLogLine(first) + "\r\n" + FormatLogLine(second) + "\r\n");
}

TEST(LogFile, WritesUtf8BytesAsTheyAre) {
    ScratchDir dir;
    EngineInDir run(dir.path(), {.fileLog = true});
    // Multi-byte UTF-8, a lone invalid byte and a bare "\n" all pass through untouched.
    const std::string text = "[⚠️] Đã chặn 1.2.3.4 \xff end\nnext";
    EmitLogEvent(run.engine(), MakeEvent(text, 0));
    DrainLog(run.engine());
    EXPECT_EQ(ReadWholeFile(dir.path() / "log.txt"), FormatLogLine(MakeEvent(text, 0)) + "\r\n");
}

TEST(LogFile, MissingDirectoryIsCreated) {
    ScratchDir dir;
    const auto nested = dir.path() / "a" / "b";
    EngineInDir run(nested, {.fileLog = true});
    EXPECT_TRUE(run.fixture.log().fileLogActive);
    EXPECT_TRUE(std::filesystem::exists(nested / "log.txt"));
}

TEST(LogFile, OpenFailureReachesThePacketLogOnly) {
    ScratchDir dir;
    std::filesystem::create_directories(dir.path() / "log.txt");  // cannot be opened as a file
    EngineInDir run(dir.path(), {.packetLog = true, .fileLog = true});
    EXPECT_FALSE(run.fixture.log().fileLogActive);
    DrainLog(run.engine());

    const std::string path = (dir.path() / "log.txt").string();
    EXPECT_EQ(PacketLogTexts(run.fixture.state),
              std::vector<std::string>{"❌ Không thể mở file log: " + path + " (kiểm tra quyền)."});
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "log.txt"));
}

TEST(LogFile, SwitchingOffClosesTheFileAndOnAgainAppends) {
    ScratchDir dir;
    EngineInDir run(dir.path(), {.fileLog = true});
    PacketProcessor& engine = run.engine();
    EmitLogEvent(engine, MakeEvent("one", 0));
    DrainLog(engine);

    AppConfig config;
    config.packetLogEnabled = false;
    config.fileLogEnabled = false;
    engine.ApplyConfig(config);
    EXPECT_FALSE(run.fixture.log().fileLogActive);
    EXPECT_FALSE(run.fixture.log().logFile.is_open());
    EmitLogEvent(engine, MakeEvent("two", 0));  // every sink off: discarded
    DrainLog(engine);

    config.fileLogEnabled = true;
    engine.ApplyConfig(config);
    EXPECT_TRUE(run.fixture.log().fileLogActive);
    EmitLogEvent(engine, MakeEvent("three", 0));
    DrainLog(engine);
    EXPECT_EQ(ReadWholeFile(dir.path() / "log.txt"), FormatLogLine(MakeEvent("one", 0)) + "\r\n" +
                                                         FormatLogLine(MakeEvent("three", 0)) +
                                                         "\r\n");
}

// ---- Sinks ------------------------------------------------------------------------------

TEST(WriteLogEvent, EachSinkReceivesWhatItsSwitchAllows) {
    struct Case {
        const char* name;
        LogSwitches switches;
        uint8_t visible;
        const char* text;
        bool inFile;
        bool inPacketLog;
    };
    const Case cases[] = {
        {"both sinks", {.packetLog = true, .fileLog = true}, 1, "both", true, true},
        {"file only", {.fileLog = true}, 1, "file", true, false},
        {"packet log only", {.packetLog = true}, 1, "host", false, true},
        // The stats switch alone keeps events queued but writes them to neither sink.
        {"stats switch only", {.statsLog = true}, 1, "stats", false, false},
        {"not visible", {.packetLog = true, .fileLog = true}, 0, "hidden", false, false},
        {"empty text", {.packetLog = true, .fileLog = true}, 1, "", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        EngineInDir run(dir.path(), c.switches);
        constexpr uint64_t kTime = 16'000'000'000'000'000ull;
        EmitLogEvent(run.engine(), MakeEvent(c.text, kTime, c.visible));
        EXPECT_EQ(QueuedTexts(run.engine()).size(), 1u);  // queued even if written nowhere
        DrainLog(run.engine());
        EXPECT_TRUE(QueuedTexts(run.engine()).empty());

        const std::string file = ReadWholeFile(dir.path() / "log.txt");
        EXPECT_EQ(file, c.inFile ? FormatLogLine(MakeEvent(c.text, kTime)) + "\r\n" : "");
        std::vector<PacketLogEntry> entries = run.fixture.state.packetLog.Snapshot();
        ASSERT_EQ(entries.size(), c.inPacketLog ? 1u : 0u);
        if (c.inPacketLog) {
            EXPECT_EQ(entries[0].text, c.text);
            EXPECT_EQ(entries[0].time, static_cast<int64_t>(kTime));
        }
    }
}

}  // namespace
}  // namespace bastion
