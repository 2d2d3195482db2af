// The daemon and its HTTP endpoint around a recording engine: reloads, list operations
// and their persistence, the metrics text and the bearer token.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "control/ControlServer.h"
#include "control/Daemon.h"
#include "tests/control/FakeEngine.h"

namespace bastion {
namespace {

using testing_support::CreateFake;
using testing_support::DestroyFake;
using testing_support::FakeEngine;
using testing_support::LastFake;

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bastion-daemon-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        configPath_ = dir_ + "/bastion.json";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void WriteConfig(const std::string& text) { std::ofstream(configPath_) << text; }
    std::string Config(const std::string& ports, int64_t blockSeconds = 300) {
        return R"({"host": {"stateDirectory": ")" + dir_ + R"(/state", "httpPort": 0},
 "firewallBlockDurationSeconds": )" +
               std::to_string(blockSeconds) + R"(,
 "tcp": {"ports": [)" +
               ports + R"(], "rules": [{"kind": "IpPacketRate", "dropThreshold": 100}]}})";
    }
    void StartDaemon(Daemon& daemon) {
        std::vector<ConfigProblem> problems;
        ASSERT_TRUE(daemon.Start(configPath_, "", problems))
            << (problems.empty() ? "" : problems.front().Describe());
    }

    std::string dir_;
    std::string configPath_;
};

TEST_F(DaemonTest, ReloadWithABadFileKeepsTheRunningConfiguration) {
    WriteConfig(Config("80"));
    Daemon daemon(CreateFake, DestroyFake);
    StartDaemon(daemon);
    FakeEngine& engine = *LastFake();
    const int rulesBefore = engine.setRulesCalls;
    const HostConfig before = daemon.Config();

    WriteConfig(R"({"tcp": {"ports": [8080],
  "rulez": []}})");
    ReloadResult result = daemon.Reload();
    EXPECT_FALSE(result.applied);
    ASSERT_EQ(result.problems.size(), 1u);
    EXPECT_EQ(result.problems[0].line, 2u);
    EXPECT_EQ(result.problems[0].column, 3u);
    EXPECT_EQ(engine.GetConfig().tcpPorts, (std::set<uint16_t>{80}));
    EXPECT_EQ(engine.setRulesCalls, rulesBefore);
    EXPECT_EQ(engine.icmpRefreshes, 0);
    EXPECT_EQ(daemon.Config(), before);
    EXPECT_EQ(daemon.FailedReloadCount(), 1u);
    std::vector<PacketLogEntry> log = daemon.State().packetLog.Snapshot();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().text.find("Configuration not reloaded"), std::string::npos);
}

TEST_F(DaemonTest, ReloadHandsOverRulesConfigurationAndRefreshesIcmp) {
    WriteConfig(Config("80"));
    Daemon daemon(CreateFake, DestroyFake);
    StartDaemon(daemon);
    FakeEngine& engine = *LastFake();

    WriteConfig(R"({"host": {"stateDirectory": "elsewhere", "httpPort": 1234,
                    "packetLogCapacity": 50},
  "tcp": {"ports": [8080]},
  "udp": {"enabled": true, "rules": [{"kind": "UdpIpPacketRate", "dropThreshold": 9}]},
  "icmp": {"advancedRules": [{"type": "InvalidIcmp", "rejectEmpty": true}]}})");
    ReloadResult result = daemon.Reload();
    ASSERT_TRUE(result.applied);
    EXPECT_EQ(engine.GetConfig().tcpPorts, (std::set<uint16_t>{8080}));
    EXPECT_TRUE(engine.GetConfig().udpEnabled);
    EXPECT_TRUE(engine.GetRules().empty());
    ASSERT_EQ(engine.GetUdpRules().size(), 1u);
    EXPECT_EQ(engine.GetUdpRules()[0].dropThreshold, 9u);
    ASSERT_EQ(engine.GetIcmpAdvancedRules().size(), 1u);
    EXPECT_EQ(engine.icmpRefreshes, 1);
    EXPECT_EQ(daemon.State().packetLog.Capacity(), 50u);
    // Settings of the process itself wait for a restart, and say so.
    EXPECT_EQ(result.notes.size(), 2u);
    EXPECT_EQ(daemon.StateDirectory(), dir_ + "/state");
    EXPECT_EQ(daemon.Config().host.httpPort, 0);
}

TEST_F(DaemonTest, AStateDirectoryGivenAtStartMakesTheFilesOneNoNews) {
    WriteConfig(R"({"host": {"httpPort": 0}})");
    Daemon daemon(CreateFake, DestroyFake);
    std::vector<ConfigProblem> problems;
    ASSERT_TRUE(daemon.Start(configPath_, dir_ + "/given", problems));
    ReloadResult same = daemon.Reload();
    ASSERT_TRUE(same.applied);
    EXPECT_TRUE(same.notes.empty()) << same.notes.front();
    WriteConfig(R"({"host": {"httpPort": 0, "stateDirectory": "elsewhere"}})");
    ReloadResult changed = daemon.Reload();
    EXPECT_TRUE(changed.notes.empty());
    EXPECT_EQ(daemon.StateDirectory(), dir_ + "/given");
}

class ServerTest : public DaemonTest {
  protected:
    void StartAll(const std::string& token = "") {
        WriteConfig(Config("80"));
        daemon_ = std::make_unique<Daemon>(CreateFake, DestroyFake);
        StartDaemon(*daemon_);
        server_ = std::make_unique<ControlServer>(*daemon_, [] {
            DivertTotals totals;
            totals.overflow = 7;
            totals.releasedUnsent = 9;
            return totals;
        });
        std::string error;
        ASSERT_TRUE(server_->Start("127.0.0.1", 0, token, error)) << error;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->Port());
    }
    void StopAll() {
        server_->Stop();
        EXPECT_EQ(daemon_->Stop(), "");
    }

    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<ControlServer> server_;
    std::unique_ptr<httplib::Client> client_;
};

TEST_F(ServerTest, ListOperationsRoundTripThroughTheApiAndPersistAcrossRestart) {
    StartAll();
    EXPECT_EQ(client_->Post("/api/lists/allow/198.51.100.7", "", "text/plain")->status, 201);
    EXPECT_EQ(client_->Post("/api/lists/allow/198.51.100.7", "", "text/plain")->status, 200);
    EXPECT_EQ(client_->Post("/api/lists/block/203.0.113.9", "", "text/plain")->status, 201);
    EXPECT_EQ(client_->Post("/api/lists/block/203.0.113.10", "", "text/plain")->status, 201);
    EXPECT_EQ(client_->Delete("/api/lists/block/203.0.113.10")->status, 200);
    EXPECT_EQ(client_->Delete("/api/lists/block/203.0.113.10")->status, 404);
    EXPECT_EQ(client_->Post("/api/lists/block/198.51.100.7", "", "text/plain")->status, 409);
    EXPECT_EQ(client_->Post("/api/lists/block/300.1.1.1", "", "text/plain")->status, 400);
    EXPECT_EQ(client_->Post("/api/lists/other/1.1.1.1", "", "text/plain")->status, 404);

    auto allow = client_->Get("/api/lists/allow");
    ASSERT_TRUE(allow);
    EXPECT_NE(allow->body.find("\"198.51.100.7\""), std::string::npos);
    auto block = client_->Get("/api/lists/block");
    EXPECT_NE(block->body.find("\"203.0.113.9\""), std::string::npos);
    EXPECT_EQ(block->body.find("203.0.113.10"), std::string::npos);
    StopAll();

    Daemon restarted(CreateFake, DestroyFake);
    StartDaemon(restarted);
    EXPECT_TRUE(restarted.State().ipLists.IsAllowed(0xC6336407));  // 198.51.100.7
    ASSERT_EQ(restarted.State().ipLists.BlockedList().size(), 1u);
    EXPECT_EQ(restarted.State().ipLists.BlockedList()[0].address, 0xCB007109u);  // 203.0.113.9
}

// A sample line of the text format: name, optional {labels}, value.
struct Sample {
    std::string name;
    std::string labels;
    double value = 0;
};

bool IsNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9');
}

// A metric or label name at `at` (advanced past it); "" when there is none.
std::string Name(const std::string& line, size_t& at) {
    size_t start = at;
    if (at < line.size() && IsNameStart(line[at])) {
        while (at < line.size() && IsNameChar(line[at]))
            ++at;
    }
    return line.substr(start, at - start);
}

// One sample line: name, optional {label="value",...}, one blank, a number.
bool ParseSample(const std::string& line, Sample& sample) {
    size_t at = 0;
    sample.name = Name(line, at);
    if (sample.name.empty()) return false;
    if (at < line.size() && line[at] == '{') {
        size_t close = line.find('}', at);
        if (close == std::string::npos) return false;
        sample.labels = line.substr(at + 1, close - at - 1);
        size_t l = at + 1;
        while (l < close) {
            if (Name(line, l).empty() || line.compare(l, 2, "=\"") != 0) return false;
            size_t quote = line.find('"', l + 2);
            if (quote == std::string::npos || quote > close) return false;
            l = quote + 1;
            if (l < close && line[l++] != ',') return false;
        }
        at = close + 1;
    }
    if (at >= line.size() || line[at] != ' ') return false;
    std::string number = line.substr(at + 1);
    if (number == "NaN" || number == "+Inf" || number == "-Inf") return true;
    char* end = nullptr;
    sample.value = std::strtod(number.c_str(), &end);
    return !number.empty() && *end == '\0';
}

// Parses the Prometheus text format strictly enough to catch malformed output: every
// line is a HELP, a TYPE (counter or gauge) or a sample of the family last typed.
std::map<std::string, Sample> ParsePrometheus(const std::string& text, std::string& error) {
    std::map<std::string, Sample> samples;
    std::string family;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            size_t at = 7;
            if (Name(line, at).empty() || at + 1 >= line.size() || line[at] != ' ') {
                error = "malformed HELP: " + line;
            }
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            size_t at = 7;
            family = Name(line, at);
            std::string type = at < line.size() ? line.substr(at) : "";
            if (family.empty() || (type != " counter" && type != " gauge")) {
                error = "malformed TYPE: " + line;
            }
            if (type == " counter" && !family.ends_with("_total")) {
                error = "counter without _total: " + family;
            }
            continue;
        }
        Sample sample;
        if (!ParseSample(line, sample)) {
            error = "malformed line: " + line;
            return {};
        }
        if (sample.name != family) error = "sample outside its family: " + line;
        std::string key = sample.name + (sample.labels.empty() ? "" : "{" + sample.labels + "}");
        if (!samples.emplace(key, sample).second) error = "duplicate sample: " + key;
    }
    return samples;
}

TEST_F(ServerTest, MetricsParseAsPrometheusTextAndMatchTheEngine) {
    StartAll();
    FakeEngine& engine = *LastFake();
    {
        std::lock_guard lock(engine.mutex);
        AppMetrics& m = engine.metrics;
        m.currentPps = 1234.5;
        m.currentSynPerSec = 17;
        m.currentDropPerSec = 3.25;
        m.activeConnections = 41;
        m.tcpSourceCount = 12;
        m.udpPps = 900;
        m.udpKBps = 2.5;
        m.udpSourceCount = 8;
        m.icmpPps = 4;
        m.icmpKBps = 0.5;
        m.icmpSourceCount = 2;
        m.threadErrorCount = 3;
        m.threadErrorActive = true;
        m.threadErrorTime = 17'965'800'000'000'000;  // 2026-12-06T18:00:00Z
        m.synAckCounters = {5, 6, 7};
    }
    engine.droppedLog = 11;
    daemon_->State().ipLists.AddAllowed(0x0A000001);

    auto response = client_->Get("/metrics");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    std::string error;
    std::map<std::string, Sample> s = ParsePrometheus(response->body, error);
    ASSERT_EQ(error, "");
    auto value = [&](const std::string& key) {
        auto it = s.find(key);
        EXPECT_NE(it, s.end()) << key;
        return it == s.end() ? -1.0 : it->second.value;
    };
    EXPECT_EQ(value("bastion_packets_per_second{protocol=\"tcp\"}"), 1234.5);
    EXPECT_EQ(value("bastion_packets_per_second{protocol=\"udp\"}"), 900);
    EXPECT_EQ(value("bastion_packets_per_second{protocol=\"icmp\"}"), 4);
    EXPECT_EQ(value("bastion_bytes_per_second{protocol=\"udp\"}"), 2560);
    EXPECT_EQ(value("bastion_bytes_per_second{protocol=\"icmp\"}"), 512);
    EXPECT_EQ(value("bastion_syn_packets_per_second"), 17);
    EXPECT_EQ(value("bastion_dropped_packets_per_second"), 3.25);
    EXPECT_EQ(value("bastion_active_connections"), 41);
    EXPECT_EQ(value("bastion_sources{protocol=\"tcp\"}"), 12);
    EXPECT_EQ(value("bastion_sources{protocol=\"udp\"}"), 8);
    EXPECT_EQ(value("bastion_sources{protocol=\"icmp\"}"), 2);
    EXPECT_EQ(value("bastion_thread_errors_total"), 3);
    EXPECT_EQ(value("bastion_thread_error_active"), 1);
    EXPECT_EQ(value("bastion_thread_error_last_timestamp_seconds"), 1'796'580'000);
    EXPECT_EQ(value("bastion_synack_protection_total{index=\"2\"}"), 7);
    EXPECT_EQ(value("bastion_log_events_dropped_total"), 11);
    EXPECT_EQ(value("bastion_list_addresses{list=\"allow\"}"), 1);
    EXPECT_EQ(value("bastion_list_addresses{list=\"block\"}"), 0);
    EXPECT_EQ(value("bastion_divert_queue_lost_packets_total{reason=\"overflow\"}"), 7);
    EXPECT_EQ(value("bastion_divert_packets_total{stage=\"released_unsent\"}"), 9);
    StopAll();
}

TEST_F(ServerTest, WithATokenEveryRequestNeedsIt) {
    const std::string token(64, 'a');
    StartAll(token);
    EXPECT_EQ(client_->Get("/metrics")->status, 401);
    EXPECT_EQ(
        client_->Get("/api/status", {{"Authorization", "Bearer " + std::string(64, 'b')}})->status,
        401);
    EXPECT_EQ(client_->Get("/api/status", {{"Authorization", "Bearer " + token + "a"}})->status,
              401);
    EXPECT_EQ(client_->Post("/api/reload", "", "text/plain")->status, 401);
    EXPECT_EQ(client_->Get("/api/status", {{"Authorization", "Bearer " + token}})->status, 200);
    StopAll();
}

// Sends `requests` one after the other on one connection to the server, each once the
// previous answer's status line arrived (the library does not serve pipelined requests);
// everything read, up to two seconds in all.
std::string Exchange(uint16_t port, const std::vector<std::string>& requests) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "socket: " + std::to_string(errno);
    timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string read;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return "connect: " + std::to_string(errno);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const std::string& request : requests) {
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            break;
        }
        // Reads until this request's status line and a little past the blank line after it.
        const size_t from = read.size();
        while (std::chrono::steady_clock::now() < deadline) {
            const size_t status = read.find("HTTP/1.1 ", from);
            if (status != std::string::npos && read.find("\n}\n", status) != std::string::npos) {
                break;
            }
            char buffer[4096];
            ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            read.append(buffer, static_cast<size_t>(got));
        }
        if (read.find("HTTP/1.1 ", from) == std::string::npos) break;
    }
    ::close(fd);
    return read;
}

// The status codes of the answers in `text`, in order.
std::vector<int> StatusCodes(const std::string& text) {
    std::vector<int> codes;
    for (size_t at = text.find("HTTP/1.1 "); at != std::string::npos;
         at = text.find("HTTP/1.1 ", at + 1))
        codes.push_back(std::atoi(text.c_str() + at + 9));
    return codes;
}

// Without Content-Length a request has no body: the answer comes at once, the connection
// stays usable, and an announced body is still read (not taken as the next request).
TEST_F(ServerTest, PostAndDeleteWithoutABodyAreAnsweredAtOnce) {
    StartAll();
    const auto start = std::chrono::steady_clock::now();
    const std::string answers =
        Exchange(server_->Port(),
                 {"POST /api/lists/block/203.0.113.9 HTTP/1.1\r\nHost: x\r\n\r\n",
                  "POST /api/reload HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\nGET /oops",
                  "DELETE /api/lists/block/203.0.113.9 HTTP/1.1\r\nHost: x\r\n"
                  "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
                  "POST /api/reload HTTP/1.1\r\nHost: x\r\n\r\n"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(StatusCodes(answers), (std::vector<int>{201, 200, 200, 200})) << answers;
    EXPECT_EQ(daemon_->ReloadCount(), 2u);
    EXPECT_EQ(daemon_->State().ipLists.BlockedCount(), 0u);
    StopAll();
}

TEST_F(DaemonTest, TokenIsCreatedPrivateOnceAndOnlyLoopbackGoesWithout) {
    EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackAddress("127.1.2.3"));
    EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(IsLoopbackAddress("10.0.0.1"));
    std::string error;
    const std::string path = dir_ + "/api-token";
    std::string token = LoadOrCreateToken(path, error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(token.size(), 64u);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(LoadOrCreateToken(path, error), token);
}

}  // namespace
}  // namespace bastion
