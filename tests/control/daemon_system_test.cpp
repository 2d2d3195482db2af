// The real executable: started with a configuration, changed through its API, stopped by
// SIGTERM (also while a scenario's flood runs through the simulated network); it must exit
// 0 promptly with the lists written and its control file removed.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// Runs the binary with `arguments` (stderr joined to stdout); its exit status and output.
std::pair<int, std::string> RunBastion(const std::string& arguments) {
    std::string command = std::string(BASTION_BINARY) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    int status = pipe != nullptr ? ::pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// Polls `done` every 10 ms for at most `limit`.
template <class Done>
bool WaitFor(Done done, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// `bastion run --config DIR/bastion.json --state-dir DIR/state [extra...]` in a child
// process, stderr to DIR/stderr.txt; -1 when fork fails.
pid_t StartDaemon(const std::string& dir, std::vector<std::string> extra = {}) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    std::freopen((dir + "/stderr.txt").c_str(), "w", stderr);
    std::freopen("/dev/null", "w", stdout);
    std::vector<std::string> words = {BASTION_BINARY,        "run",         "--config",
                                      dir + "/bastion.json", "--state-dir", dir + "/state"};
    words.insert(words.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(BASTION_BINARY, argv.data());
    ::_exit(127);
}

std::string MakeTemporaryDirectory() {
    char pattern[] = "/tmp/bastion-system-XXXXXX";
    return ::mkdtemp(pattern) != nullptr ? pattern : "";
}

// Sends SIGTERM; the exit status once the child is gone, or -1 when it is still there
// after `limit`.
int TerminateAndWait(pid_t pid, std::chrono::milliseconds limit) {
    if (::kill(pid, SIGTERM) != 0) return -1;
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(DaemonSystemTest, SigtermStopsCleanlyAndWritesTheLists) {
    const std::string dir = MakeTemporaryDirectory();
    ASSERT_FALSE(dir.empty());
    const std::string state = dir + "/state";
    std::ofstream(dir + "/bastion.json") << R"({"host": {"httpPort": 0},
  "tcp": {"ports": [80, 443]}})";
    const std::string errPath = dir + "/stderr.txt";

    pid_t pid = StartDaemon(dir);
    ASSERT_GE(pid, 0);
    const std::string controlPath = state + "/control.json";
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(controlPath); },
                        std::chrono::milliseconds(2000)))
        << ReadFile(errPath);
    nlohmann::json control = nlohmann::json::parse(ReadFile(controlPath));
    EXPECT_EQ(control["pid"].get<int>(), pid);
    httplib::Client client("127.0.0.1", control["port"].get<uint16_t>());
    auto added = client.Post("/api/lists/block/203.0.113.50", "", "text/plain");
    ASSERT_TRUE(added);
    EXPECT_EQ(added->status, 201);
    auto allowed = client.Post("/api/lists/allow/198.51.100.5", "", "text/plain");
    ASSERT_TRUE(allowed);
    EXPECT_EQ(allowed->status, 201);

    // The command line finds the daemon through the state directory.
    auto [showStatus, shown] = RunBastion("lists block show --state-dir " + state);
    EXPECT_EQ(showStatus, 0) << shown;
    EXPECT_EQ(shown.rfind("203.0.113.50 ", 0), 0u) << shown;
    auto [removeStatus, removed] =
        RunBastion("lists block remove 203.0.113.77 --state-dir " + state);
    EXPECT_EQ(removeStatus, 1) << removed;
    auto [statusStatus, statusText] = RunBastion("status --json --state-dir " + state);
    EXPECT_EQ(statusStatus, 0) << statusText;
    EXPECT_NE(statusText.find("\"blocked\": 1"), std::string::npos) << statusText;

    // A bad file on SIGHUP is reported and the daemon keeps running.
    std::ofstream(dir + "/bastion.json") << "{\"tcp\": {\"ports\": [80,]}}";
    ASSERT_EQ(::kill(pid, SIGHUP), 0);
    EXPECT_TRUE(WaitFor([&] { return ReadFile(errPath).find("not reloaded") != std::string::npos; },
                        std::chrono::milliseconds(2000)));
    EXPECT_NE(ReadFile(errPath).find("bastion.json:1:23: "), std::string::npos)
        << ReadFile(errPath);
    EXPECT_EQ(client.Get("/api/status")->status, 200);

    EXPECT_EQ(TerminateAndWait(pid, std::chrono::milliseconds(3000)), 0) << ReadFile(errPath);
    const std::string blocked = ReadFile(state + "/block.txt");
    EXPECT_NE(blocked.find("203.0.113.50 "), std::string::npos);
    EXPECT_NE(ReadFile(state + "/allow.txt").find("198.51.100.5\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(controlPath));

    // Without a daemon the command line works on the files, and check-config names the
    // problem's position.
    EXPECT_EQ(RunBastion("status --state-dir " + state).first, 3);
    EXPECT_EQ(RunBastion("lists allow add 192.0.2.1 --state-dir " + state).first, 0);
    EXPECT_NE(ReadFile(state + "/allow.txt").find("192.0.2.1\n"), std::string::npos);
    auto [checkStatus, checked] = RunBastion("check-config " + dir + "/bastion.json");
    EXPECT_EQ(checkStatus, 1);
    EXPECT_NE(checked.find("bastion.json:1:23: syntax error"), std::string::npos) << checked;
    std::filesystem::remove_all(dir);
}

// The divert counter of packets queued for the engine, read from /metrics; -1 if absent.
double QueuedPackets(httplib::Client& client) {
    auto response = client.Get("/metrics");
    if (!response || response->status != 200) return -1;
    const std::string name = "bastion_divert_packets_total{stage=\"queued\"} ";
    const size_t at = response->body.find(name);
    return at == std::string::npos
               ? -1
               : std::strtod(response->body.c_str() + at + name.size(), nullptr);
}

// The shipped configuration and a scenario whose single host floods TCP far above the
// shipped per-source block threshold: the daemon blocks it while legitimate clients go on;
// SIGTERM in the middle of the flood must stop it promptly with the block list written.
TEST(DaemonSystemTest, SigtermWhileAFloodRunsStopsPromptlyAndWritesTheBlockedSource) {
    const std::string dir = MakeTemporaryDirectory();
    ASSERT_FALSE(dir.empty());
    const std::string state = dir + "/state";
    std::string shipped = ReadFile(std::string(BASTION_SOURCE_DIR) + "/config/bastion.json");
    const std::string port = "\"httpPort\": 9810";
    const size_t at = shipped.find(port);
    ASSERT_NE(at, std::string::npos) << "the shipped file's HTTP port moved";
    std::ofstream(dir + "/bastion.json") << shipped.replace(at, port.size(), "\"httpPort\": 0");
    std::ofstream(dir + "/flood.json") << R"({"name": "flood", "seconds": 120, "phases": [
  {"class": "legit-tcp", "from": 0, "to": 120, "pps": 200},
  {"class": "tcp-single", "from": 0, "to": 120, "pps": 12000}]})";
    const std::string errPath = dir + "/stderr.txt";

    pid_t pid = StartDaemon(dir, {"--scenario", dir + "/flood.json"});
    ASSERT_GE(pid, 0);
    const std::string controlPath = state + "/control.json";
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(controlPath); },
                        std::chrono::milliseconds(3000)))
        << ReadFile(errPath);
    nlohmann::json control = nlohmann::json::parse(ReadFile(controlPath));
    httplib::Client client("127.0.0.1", control["port"].get<uint16_t>());
    EXPECT_TRUE(WaitFor(
        [&] {
            auto listed = client.Get("/api/lists/block");
            return listed && listed->body.find("\"192.0.2.66\"") != std::string::npos;
        },
        std::chrono::milliseconds(5000)))
        << ReadFile(errPath);
    // Still flowing when the signal arrives.
    const double before = QueuedPackets(client);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(QueuedPackets(client), before);

    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(TerminateAndWait(pid, std::chrono::milliseconds(3000)), 0) << ReadFile(errPath);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(3000));
    EXPECT_EQ(ReadFile(errPath), "");

    const std::string blocked = ReadFile(state + "/block.txt");
    EXPECT_NE(blocked.find("\n192.0.2.66 "), std::string::npos) << blocked;
    EXPECT_FALSE(std::filesystem::exists(controlPath));
    // Written through a temporary file renamed over the list: none is left behind, and the
    // file ends with a whole line.
    for (const auto& entry : std::filesystem::directory_iterator(state)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << entry.path();
    }
    EXPECT_EQ(blocked.back(), '\n');
    std::filesystem::remove_all(dir);
}

}  // namespace
