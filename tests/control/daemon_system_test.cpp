// The real executable: started with a configuration, changed through its API, stopped by
// SIGTERM; it must exit 0 with the lists written and its control file removed.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

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

TEST(DaemonSystemTest, SigtermStopsCleanlyAndWritesTheLists) {
    char pattern[] = "/tmp/bastion-system-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string state = dir + "/state";
    std::ofstream(dir + "/bastion.json") << R"({"host": {"httpPort": 0},
  "tcp": {"ports": [80, 443]}})";
    const std::string errPath = dir + "/stderr.txt";

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::freopen(errPath.c_str(), "w", stderr);
        std::freopen("/dev/null", "w", stdout);
        const std::string config = dir + "/bastion.json";
        ::execl(BASTION_BINARY, BASTION_BINARY, "run", "--config", config.c_str(), "--state-dir",
                state.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
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

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                        std::chrono::milliseconds(3000)));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(errPath);
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

}  // namespace
