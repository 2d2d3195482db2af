// Helpers shared by the log and supervision tests: an engine with chosen log switches,
// a scratch directory posing as the executable's directory, and readers of the sinks.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/PacketProcessor.h"
#include "platform/Testing.h"
#include "services/Log.h"

namespace bastion::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("bastion-log-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Makes GetModuleFileNameW report `exe` until destroyed.
class FakeExecutablePath {
  public:
    explicit FakeExecutablePath(const std::wstring& exe) {
        platform::testing::SetModuleFileName(exe);
    }
    ~FakeExecutablePath() { platform::testing::SetModuleFileName(L""); }
};

struct LogSwitches {
    bool packetLog = false;
    bool statsLog = false;
    bool fileLog = false;
};

// A host state block and an engine constructed with the given log switches.
struct LoggingEngine {
    RuntimeState state;
    std::unique_ptr<PacketProcessor> engine;

    explicit LoggingEngine(LogSwitches switches) {
        state.config.packetLogEnabled = switches.packetLog;
        state.config.statsLogEnabled = switches.statsLog;
        state.config.fileLogEnabled = switches.fileLog;
        engine = std::make_unique<PacketProcessor>(state);
    }
    LogState& log() { return engine->logState; }
};

inline LogEvent MakeEvent(std::string text, uint64_t time = 0, uint8_t visible = 1) {
    LogEvent event;
    event.time = time;
    event.visible = visible;
    event.text = std::move(text);
    return event;
}

inline std::vector<std::string> QueuedTexts(PacketProcessor& engine) {
    LogState& log = engine.logState;
    std::lock_guard lock(log.logQueueMutex);
    std::vector<std::string> texts;
    for (size_t i = 0; i < log.logQueue.size(); ++i)
        texts.push_back(log.logQueue[i].text);
    return texts;
}

inline std::vector<std::string> PacketLogTexts(RuntimeState& state) {
    std::vector<std::string> texts;
    for (const PacketLogEntry& entry : state.packetLog.Snapshot())
        texts.push_back(entry.text);
    return texts;
}

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Writes everything queued now, on the calling thread.
inline void DrainLog(PacketProcessor& engine) {
    DrainLogQueue(engine);
}

}  // namespace bastion::testing
