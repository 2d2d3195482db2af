// Reading and writing the allow and block list files.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "control/AtomicFile.h"
#include "control/IpListManager.h"
#include "control/IpListManagerImpl.h"
#include "platform/Clock.h"

namespace bastion {

using namespace address_code;

namespace {

constexpr size_t kMaxLineLength = 200;
constexpr std::string_view kExpiryHint =
    "expected a UTC time such as 2026-12-06T18:00:00Z, or never";

std::string JoinPath(const std::string& directory, const char* name) {
    if (directory.empty() || directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

std::string FormatAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

// Strict dotted quad: four decimal parts 0..255, no leading zeros, nothing else.
bool ParseAddress(std::string_view text, uint32_t& address) {
    if (text.empty() || text.size() > 15) return false;
    char buffer[16];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    in_addr parsed{};
    if (::inet_pton(AF_INET, buffer, &parsed) != 1) return false;
    address = ntohl(parsed.s_addr);
    return true;
}

std::string FormatUtc(int64_t unixSeconds) {
    using namespace std::chrono;
    sys_seconds time{seconds{unixSeconds}};
    sys_days day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss clock{time - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

// "YYYY-MM-DDTHH:MM:SSZ", a valid calendar date from 1970 on.
bool ParseUtc(std::string_view text, int64_t& unixSeconds) {
    if (text.size() != 20) return false;
    auto digits = [&](size_t at, size_t count, int& value) {
        value = 0;
        for (size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            value = value * 10 + (text[i] - '0');
        }
        return true;
    };
    int year, month, day, hour, minute, second;
    if (!digits(0, 4, year) || text[4] != '-' || !digits(5, 2, month) || text[7] != '-' ||
        !digits(8, 2, day) || text[10] != 'T' || !digits(11, 2, hour) || text[13] != ':' ||
        !digits(14, 2, minute) || text[16] != ':' || !digits(17, 2, second) || text[19] != 'Z') {
        return false;
    }
    using namespace std::chrono;
    year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                        std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok() || year < 1970 || hour > 23 || minute > 59 || second > 59) return false;
    unixSeconds = sys_days{date}.time_since_epoch().count() * 86'400LL + hour * 3600LL +
                  minute * 60LL + second;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The next blank-separated field of `rest`, which is advanced past it.
std::string_view NextField(std::string_view& rest) {
    rest = Trim(rest);
    size_t end = 0;
    while (end < rest.size() && !IsBlank(rest[end]))
        ++end;
    std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    rest = Trim(rest);
    return field;
}

std::string Quote(std::string_view text) {
    constexpr size_t kShown = 40;
    std::string quoted = "\"";
    quoted.append(text.substr(0, kShown));
    if (text.size() > kShown) quoted.append("...");
    return quoted + "\"";
}

// Calls `onLine(number, text)` for each line that is neither blank nor a comment. Lines
// longer than kMaxLineLength are reported and skipped. False when the file could not be
// read; a missing file reads as empty.
template <class OnLine>
bool ReadLines(const std::string& path, std::vector<IpListManager::LoadProblem>& problems,
               OnLine onLine) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        problems.push_back({path, 0, "cannot open: " + ErrnoText(errno)});
        return false;
    }
    char buffer[kMaxLineLength + 2];
    size_t number = 0;
    bool skipping = false;  // inside the rest of an overlong line
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        size_t length = std::strlen(buffer);
        bool complete = length > 0 && buffer[length - 1] == '\n';
        if (skipping) {
            skipping = !complete;
            continue;
        }
        ++number;
        if (!complete && length == sizeof buffer - 1) {
            problems.push_back(
                {path, number,
                 "line is longer than " + std::to_string(kMaxLineLength) + " characters"});
            skipping = true;
            continue;
        }
        std::string_view line = Trim(std::string_view(buffer, length));
        if (line.empty() || line.front() == '#') continue;
        onLine(number, line);
    }
    bool ok = !std::ferror(file);
    if (!ok) problems.push_back({path, 0, "read failed: " + ErrnoText(errno)});
    std::fclose(file);
    return ok;
}

}  // namespace

std::string IpListManager::LoadProblem::Describe() const {
    if (line == 0) return file + ": " + message;
    return file + ":" + std::to_string(line) + ": " + message;
}

void IpListManager::SetStorageDirectory(const std::string& directory) {
    std::lock_guard lock(impl_->fileMutex);
    impl_->directory = directory;
}

std::string IpListManager::StorageDirectory() const {
    std::lock_guard lock(impl_->fileMutex);
    return impl_->directory;
}

std::string IpListManager::LastError() const {
    std::lock_guard lock(impl_->fileMutex);
    return impl_->lastError;
}

std::vector<IpListManager::LoadProblem> IpListManager::LoadFromFiles() {
    return LoadFromFiles(WallTicksNow());
}

std::vector<IpListManager::LoadProblem> IpListManager::LoadFromFiles(int64_t nowWallTicks) {
    std::lock_guard lock(impl_->fileMutex);
    std::vector<LoadProblem> problems;
    if (impl_->directory.empty()) return problems;
    RemoveStrayTemporaries(impl_->directory, kAllowFileName);
    RemoveStrayTemporaries(impl_->directory, kBlockFileName);

    const std::string allowPath = JoinPath(impl_->directory, kAllowFileName);
    std::vector<AddressList::Entry> allowed;
    bool allowRead = ReadLines(allowPath, problems, [&](size_t number, std::string_view line) {
        std::string_view rest = line;
        std::string_view field = NextField(rest);
        uint32_t address = 0;
        if (!ParseAddress(field, address)) {
            problems.push_back({allowPath, number, "not an IPv4 address: " + Quote(field)});
        } else if (!rest.empty()) {
            problems.push_back(
                {allowPath, number, "unexpected text after the address: " + Quote(rest)});
        } else {
            allowed.push_back({address, kNever});
        }
    });
    std::vector<uint32_t> allowSet;
    for (const auto& entry : allowed)
        allowSet.push_back(entry.address);
    std::sort(allowSet.begin(), allowSet.end());

    const std::string blockPath = JoinPath(impl_->directory, kBlockFileName);
    const uint32_t nowCode = NowCode(nowWallTicks);
    std::vector<AddressList::Entry> blocked;
    bool blockRead = ReadLines(blockPath, problems, [&](size_t number, std::string_view line) {
        std::string_view rest = line;
        std::string_view addressField = NextField(rest);
        std::string_view expiryField = NextField(rest);
        uint32_t address = 0;
        int64_t expiry = 0;
        if (!ParseAddress(addressField, address)) {
            problems.push_back({blockPath, number, "not an IPv4 address: " + Quote(addressField)});
        } else if (expiryField.empty()) {
            problems.push_back(
                {blockPath, number, "missing expiry (" + std::string(kExpiryHint) + ")"});
        } else if (expiryField != "never" && !ParseUtc(expiryField, expiry)) {
            problems.push_back(
                {blockPath, number,
                 "bad expiry " + Quote(expiryField) + " (" + std::string(kExpiryHint) + ")"});
        } else if (!rest.empty()) {
            problems.push_back(
                {blockPath, number, "unexpected text after the expiry: " + Quote(rest)});
        } else if (std::binary_search(allowSet.begin(), allowSet.end(), address)) {
            problems.push_back(
                {blockPath, number,
                 FormatAddress(address) + " is on the allow list; its block is left out"});
        } else {
            uint32_t code = expiryField == "never" ? kNever : FromUnixSeconds(expiry);
            if (IsLiveAt(code, nowCode)) blocked.push_back({address, code});
        }
    });

    // A file that could not be read leaves its list as it was.
    size_t allowDropped = allowRead ? impl_->allow.Replace(allowed) : 0;
    size_t blockDropped = blockRead ? impl_->block.Replace(blocked) : 0;
    if (allowDropped != 0) {
        problems.push_back(
            {allowPath, 0,
             std::to_string(allowDropped) + " addresses beyond the list's maximum left out"});
    }
    if (blockDropped != 0) {
        problems.push_back(
            {blockPath, 0,
             std::to_string(blockDropped) + " blocks beyond the list's maximum left out"});
    }
    // The files hold what memory now holds, apart from skipped lines, which stay in the
    // file for the operator to fix until the list next changes.
    impl_->allowChanged.store(false, std::memory_order_seq_cst);
    impl_->blockChanged.store(false, std::memory_order_seq_cst);
    if (!allowRead || !blockRead) {
        for (const LoadProblem& problem : problems) {
            if (problem.line == 0) impl_->lastError = problem.Describe();
        }
    }
    return problems;
}

bool IpListManager::FlushToFiles() {
    std::lock_guard lock(impl_->fileMutex);
    if (impl_->directory.empty()) return true;
    bool wrote = false;
    bool ok = true;
    auto write = [&](std::atomic<bool>& changed, const char* name, auto&& writeBody) {
        // Clear first: a change made while writing sets the flag again and is written next
        // time; the snapshot below sees every change made before the clear.
        if (!changed.exchange(false, std::memory_order_seq_cst)) return;
        AtomicFileWriter file(JoinPath(impl_->directory, name));
        if (file.Open()) writeBody(file);
        if (file.Commit()) {
            wrote = true;
        } else {
            changed.store(true, std::memory_order_seq_cst);
            impl_->lastError = file.Error();
            ok = false;
        }
    };
    write(impl_->allowChanged, kAllowFileName, [&](AtomicFileWriter& file) {
        file.Write("# Bastion allow list: one IPv4 address per line\n");
        for (const AddressList::Entry& entry : impl_->allow.Entries()) {
            file.Write(FormatAddress(entry.address));
            file.Write("\n");
        }
    });
    write(impl_->blockChanged, kBlockFileName, [&](AtomicFileWriter& file) {
        file.Write("# Bastion block list: address, then expiry in UTC or never\n");
        std::string line;
        for (const AddressList::Entry& entry : impl_->block.Entries()) {
            line = FormatAddress(entry.address);
            line += ' ';
            line += entry.code == kNever ? "never" : FormatUtc(ToUnixSeconds(entry.code));
            line += '\n';
            file.Write(line);
        }
    });
    if (ok && wrote) impl_->lastError.clear();
    return ok;
}

}  // namespace bastion
