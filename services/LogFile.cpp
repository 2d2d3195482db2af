// The log's sinks: "log.txt" beside the executable and the host's packet log.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "platform/Win32.h"
#include "services/Log.h"

namespace bastion {
namespace {

constexpr wchar_t kLogFileName[] = L"log.txt";
constexpr char kUnknownTime[] = "0000-00-00 00:00:00";
constexpr uint64_t kWallTicksPerMs = 10'000;

#ifdef _WIN32
constexpr wchar_t kSeparators[] = L"\\/";
constexpr wchar_t kPreferredSeparator = L'\\';
#else
constexpr wchar_t kSeparators[] = L"/";
constexpr wchar_t kPreferredSeparator = L'/';
#endif

bool EndsWithSeparator(const std::wstring& path) {
    return !path.empty() && (path.back() == L'\\' || path.back() == L'/');
}

// The directory part of `path`; empty when it names no directory. A root keeps its
// separator ("/", "C:\"), so that it still names the root.
std::wstring ParentDirectory(const std::wstring& path) {
    size_t pos = path.find_last_of(kSeparators);
    if (pos == std::wstring::npos) return {};
    if (pos == 0 || path[pos - 1] == L':') return path.substr(0, pos + 1);
    return path.substr(0, pos);
}

std::wstring CurrentDirectory() {
    try {
        std::error_code error;
        std::filesystem::path current = std::filesystem::current_path(error);
        if (error) return {};
        return current.wstring();
    } catch (const std::exception&) {
        return {};  // a name the wide form cannot represent
    }
}

// Appends the UTF-8 encoding of `code` (U+FFFD for values that are not code points).
void AppendUtf8(std::string& out, uint32_t code) {
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The wide path as UTF-8 for messages (UTF-16 pairs where wchar_t is 16 bits).
std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = static_cast<uint32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            code &= 0xFFFF;
            if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size()) {
                uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        AppendUtf8(out, code);
    }
    return out;
}

// Opens the log file at `path` for appending, creating its directory first (errors there
// are left to the open). On Windows the runtime's default share mode denies nothing, so
// other processes may read and write the file meanwhile. False on failure.
bool OpenForAppend(std::ofstream& file, const std::wstring& path) {
    try {
        std::filesystem::path target(path);
        std::error_code ignored;
        if (target.has_parent_path())
            std::filesystem::create_directories(target.parent_path(), ignored);
        file.open(target, std::ios::out | std::ios::app | std::ios::binary);
        return file.is_open();
    } catch (const std::exception&) {
        return false;  // a path this system cannot name
    }
}

}  // namespace

std::string FormatLogLine(const LogEvent& event) {
    const uint64_t seconds = event.time / kWallTicksPerSecond;
    char stamp[32];
    std::tm local{};
    if (!ToLocalTime(static_cast<int64_t>(seconds), &local) ||
        std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local) == 0) {
        std::memcpy(stamp, kUnknownTime, sizeof(kUnknownTime));
    }
    const unsigned milliseconds =
        static_cast<unsigned>(event.time / kWallTicksPerMs - seconds * 1000);
    char fraction[8];
    std::snprintf(fraction, sizeof(fraction), ".%03u] ", milliseconds);

    std::string line;
    line.reserve(1 + std::strlen(stamp) + std::strlen(fraction) + event.text.size());
    line += '[';
    line += stamp;
    line += fraction;
    line += event.text;
    return line;
}

void ResolveLogFilePath(PacketProcessor& engine) {
    LogState& log = engine.logState;
    if (!log.logFilePath.empty()) return;

    std::wstring directory;
    WCHAR module[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    // A path of MAX_PATH characters or more comes back truncated: not a usable directory.
    if (length > 0 && length < MAX_PATH) directory = ParentDirectory(std::wstring(module, length));
    if (directory.empty()) directory = CurrentDirectory();

    if (directory.empty()) {
        log.logFilePath = kLogFileName;
        return;
    }
    log.logFilePath = directory;
    if (!EndsWithSeparator(directory)) log.logFilePath += kPreferredSeparator;
    log.logFilePath += kLogFileName;
}

void CopyLogSwitches(LogState& log, const AppConfig& config) {
    log.packetLogEnabled.store(config.packetLogEnabled, std::memory_order_relaxed);
    log.statsLogEnabled.store(config.statsLogEnabled, std::memory_order_relaxed);
    log.fileLogEnabled.store(config.fileLogEnabled, std::memory_order_relaxed);
}

void SetFileLogging(PacketProcessor& engine, bool enable) {
    LogState& log = engine.logState;
    std::lock_guard lock(log.logFileMutex);
    if (log.logFile.is_open()) log.logFile.close();
    if (!enable) {
        log.fileLogActive.store(false, std::memory_order_release);
        return;
    }
    ResolveLogFilePath(engine);
    if (OpenForAppend(log.logFile, log.logFilePath)) {
        log.fileLogActive.store(true, std::memory_order_release);
        return;
    }
    log.fileLogActive.store(false, std::memory_order_release);
    // The file is not active, so this reaches the host's packet log only.
    EmitLogEvent(engine,
                 "❌ Không thể mở file log: " + ToUtf8(log.logFilePath) + " (kiểm tra quyền).");
}

void WriteLogEvent(PacketProcessor& engine, LogEvent&& event) {
    if (event.visible == 0 || event.text.empty()) return;
    LogState& log = engine.logState;

    if (log.fileLogActive.load(std::memory_order_acquire)) {
        std::string line = FormatLogLine(event);
        line += "\r\n";
        std::lock_guard lock(log.logFileMutex);
        // A failed write leaves the stream in its error state; later writes are skipped.
        if (log.logFile.is_open()) {
            log.logFile.write(line.data(), static_cast<std::streamsize>(line.size()));
            log.logFile.flush();
        }
    }

    if (log.packetLogEnabled.load(std::memory_order_relaxed)) {
        PacketLogEntry entry;
        entry.time = static_cast<int64_t>(event.time);
        entry.text = std::move(event.text);
        engine.runtimeState.packetLog.Push(std::move(entry));
    }
}

}  // namespace bastion
