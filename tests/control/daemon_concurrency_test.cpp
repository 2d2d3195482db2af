// `bastion run` in this process, on a terminal, with the real engine and a flood through
// the simulated network, while everything that can happen at once happens: SIGHUP reloads
// from the signal loop, reloads, list changes and scrapes through the HTTP threads, the
// status line redrawn between them, then SIGTERM. Built to run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <httplib.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "control/Commands.h"
#include "host/Factory.h"

namespace bastion {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The configuration with a per-source limit of `drop`/`block` packets per second, written
// through a rename so that a reload never reads half a file.
void WriteConfig(const std::string& path, int drop, int block) {
    {
        std::ofstream(path + ".new")
            << R"({"host": {"httpPort": 0}, "tcp": {"ports": [80, 443], "rules": [
  {"kind": "IpPacketRate", "name": "Packets per source", "dropThreshold": )"
            << drop << R"(, "blockThreshold": )" << block << "}]}}";
    }
    std::filesystem::rename(path + ".new", path);
}

// Standard output goes to a pseudo-terminal for the test's lifetime (so the daemon draws
// its status line); a thread keeps reading what is written there.
class Terminal {
  public:
    Terminal() {
        std::fflush(stdout);
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        saved_ = ::dup(STDOUT_FILENO);
        ::dup2(slave_, STDOUT_FILENO);
        reader_ = std::thread([this] {
            char buffer[1024];
            for (;;) {
                ssize_t got = ::read(master_, buffer, sizeof buffer);
                if (got <= 0) break;
                std::lock_guard lock(mutex_);
                text_.append(buffer, static_cast<size_t>(got));
            }
        });
    }
    ~Terminal() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
        if (slave_ >= 0) ::close(slave_);  // the reader sees the end (EIO) once all are closed
        if (reader_.joinable()) reader_.join();
        if (master_ >= 0) ::close(master_);
    }
    bool Open() const { return saved_ >= 0; }
    std::string Text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

  private:
    int master_ = -1, slave_ = -1, saved_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::string text_;
};

TEST(DaemonConcurrencyTest, SignalsReloadsRequestsAndTheStatusLineUnderTraffic) {
    // The daemon takes its signals on its own thread; every other thread must block them
    // too, or a SIGHUP would end the test process. Threads started below inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigset_t previous;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &signals, &previous), 0);

    char pattern[] = "/tmp/bastion-concurrency-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string configPath = dir + "/bastion.json";
    WriteConfig(configPath, 1000, 5000);
    std::ofstream(dir + "/flood.json") << R"({"seconds": 60, "phases": [
  {"class": "legit-tcp", "from": 0, "to": 60, "pps": 100},
  {"class": "tcp-single", "from": 0, "to": 60, "pps": 8000}]})";

    RunOptions options;
    options.configPath = configPath;
    options.stateDirectory = dir + "/state";
    options.scenario = dir + "/flood.json";
    std::ostringstream errors;
    std::atomic<int> status{-1};
    {
        Terminal terminal;
        ASSERT_TRUE(terminal.Open());
        std::thread daemon([&] {
            status = RunCommand(options, &CreatePacketProcessor, &DestroyPacketProcessor, errors);
        });
        const std::string controlPath = options.stateDirectory + "/control.json";
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!std::filesystem::exists(controlPath) && status == -1 &&
               std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!std::filesystem::exists(controlPath)) {
            ::kill(::getpid(), SIGTERM);
            daemon.join();
            FAIL() << "the daemon did not start: " << errors.str();
        }
        const uint16_t port = nlohmann::json::parse(ReadFile(controlPath))["port"].get<uint16_t>();

        std::atomic<bool> done{false};
        std::atomic<int> failedRequests{0};
        std::thread requests([&] {
            httplib::Client client("127.0.0.1", port);
            for (int i = 0; !done; ++i) {
                const std::string address = "203.0.113." + std::to_string(100 + i % 50);
                auto ok = [&](const httplib::Result& r, int expected) {
                    if (!r || r->status != expected) ++failedRequests;
                };
                ok(client.Get("/metrics"), 200);
                ok(client.Get("/api/status"), 200);
                ok(client.Post("/api/lists/block/" + address, "", "text/plain"), 201);
                ok(client.Get("/api/config"), 200);
                ok(client.Post("/api/reload", "", "text/plain"), 200);
                ok(client.Delete("/api/lists/block/" + address), 200);
                ok(client.Get("/api/log?after=0&limit=20"), 200);
            }
        });
        std::thread hangups([&] {
            for (int i = 0; !done; ++i) {
                WriteConfig(configPath, 1000 + i % 2, 5000);
                ::kill(::getpid(), SIGHUP);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        });
        // Long enough for the status line's one-second redraw besides the reloads' ones.
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        done = true;
        requests.join();
        hangups.join();
        EXPECT_EQ(failedRequests.load(), 0);

        ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
        daemon.join();
        EXPECT_EQ(status.load(), 0) << errors.str();
        EXPECT_EQ(errors.str(), "");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string shown = terminal.Text();
        EXPECT_NE(shown.find("configuration reloaded"), std::string::npos) << shown;
        EXPECT_NE(shown.find("pps "), std::string::npos) << shown;
        EXPECT_NE(shown.find("bastion: stopping"), std::string::npos) << shown;
        // Failures above were reported on the terminal: repeat them where the runner looks.
        if (HasFailure()) std::fprintf(stderr, "%s\n", shown.c_str());
    }
    // The lists were written at the stop (the system test checks what they hold).
    EXPECT_TRUE(std::filesystem::exists(options.stateDirectory + "/block.txt"));
    std::filesystem::remove_all(dir);
    // A SIGHUP still pending would end the process once unblocked.
    timespec none{0, 0};
    while (::sigtimedwait(&signals, nullptr, &none) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace
}  // namespace bastion
