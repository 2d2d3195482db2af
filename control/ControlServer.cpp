#include "control/ControlServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "control/AtomicFile.h"

namespace bastion {

using json = nlohmann::ordered_json;

bool IsLoopbackAddress(const std::string& address) {
    uint32_t value = 0;
    return ParseIPv4Address(address, value) && (value >> 24) == 127;
}

bool ParseIPv4Address(const std::string& text, uint32_t& address) {
    in_addr parsed{};
    if (text.size() > 15 || ::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    address = ntohl(parsed.s_addr);
    return true;
}

std::string FormatIPv4Address(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

std::string FormatUtcTicks(int64_t ticks) {
    using namespace std::chrono;
    int64_t millis = ticks / 10'000;
    sys_time<milliseconds> time{milliseconds{millis}};
    sys_days day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss clock{time - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string LoadOrCreateToken(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        unsigned char random[32];
        ssize_t got = ::getrandom(random, sizeof random, 0);
        if (got != static_cast<ssize_t>(sizeof random)) {
            error = "cannot get random bytes for " + path + ": " + ErrnoText(errno);
            ::close(fd);
            ::unlink(path.c_str());
            return "";
        }
        static const char kHex[] = "0123456789abcdef";
        std::string token;
        for (unsigned char byte : random) {
            token += kHex[byte >> 4];
            token += kHex[byte & 15];
        }
        std::string line = token + "\n";
        bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        int writeError = errno;
        if (::close(fd) != 0 || !written) {
            error = "cannot write " + path + ": " + ErrnoText(written ? errno : writeError);
            ::unlink(path.c_str());
            return "";
        }
        return token;
    }
    if (errno != EEXIST) {
        error = "cannot create " + path + ": " + ErrnoText(errno);
        return "";
    }
    std::ifstream file(path);
    std::string token;
    if (!(file >> token) || token.empty()) {
        error = "cannot read a token from " + path;
        return "";
    }
    return token;
}

namespace {

bool SameToken(const std::string& given, const std::string& expected) {
    if (expected.empty() || given.size() != expected.size()) return false;
    // Compares every byte whatever the first difference, so the time taken says nothing.
    unsigned char difference = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return difference == 0;
}

void Reply(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(2) + "\n", "application/json");
}

void ReplyError(httplib::Response& response, int status, const std::string& message) {
    Reply(response, status, json{{"error", message}});
}

bool ParseCount(const httplib::Request& request, const char* name, uint64_t& value) {
    if (!request.has_param(name)) return true;
    const std::string text = request.get_param_value(name);
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoull(text);
    return true;
}

// A request with neither Content-Length nor Transfer-Encoding has no body, but the HTTP
// library reads one until the client closes: `curl -X POST` would wait out the read
// timeout and get a 400. So the POST and DELETE routes take the body themselves, read
// (and discarded, none of them uses it) only when the request announces one; the
// library's payload limit still applies then. False when an announced body is bad.
bool ConsumeBody(const httplib::Request& request, const httplib::ContentReader& reader) {
    if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding")) {
        return true;
    }
    return reader([](const char*, size_t) { return true; });
}

using BodylessHandler = std::function<void(const httplib::Request&, httplib::Response&)>;

httplib::Server::HandlerWithContentReader WithoutBody(BodylessHandler handler) {
    return
        [handler = std::move(handler)](const httplib::Request& request, httplib::Response& response,
                                       const httplib::ContentReader& reader) {
            if (!ConsumeBody(request, reader)) {
                return ReplyError(response, 400, "the request body could not be read");
            }
            handler(request, response);
        };
}

}  // namespace

struct ControlServer::Impl {
    Daemon& daemon;
    std::function<DivertTotals()> divertTotals;
    httplib::Server server;
    std::thread thread;
    std::string token;
    uint16_t port = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    Impl(Daemon& d, std::function<DivertTotals()> totals)
        : daemon(d), divertTotals(std::move(totals)) {}

    void Routes();
    json Status();
    void ListGet(const std::string& list, httplib::Response& response);
    void ListChange(const std::string& list, const std::string& address, bool add,
                    httplib::Response& response);
};

ControlServer::ControlServer(Daemon& daemon, std::function<DivertTotals()> divertTotals)
    : impl_(std::make_unique<Impl>(daemon, std::move(divertTotals))) {}

ControlServer::~ControlServer() {
    Stop();
}

uint16_t ControlServer::Port() const {
    return impl_->port;
}

MetricsSnapshot ControlServer::Snapshot() {
    MetricsSnapshot s;
    IPacketProcessor& engine = impl_->daemon.Engine();
    RuntimeState& state = impl_->daemon.State();
    s.metrics = engine.GetMetrics();
    s.droppedLogEvents = engine.GetDroppedLogCount();
    s.allowListed = state.ipLists.AllowedCount();
    s.blockListed = state.ipLists.BlockedCount();
    s.refusedBlocks = state.ipLists.RefusedBlockCount();
    s.packetLogEntries = state.packetLog.Size();
    s.packetLogSequence = state.packetLog.LastSequence();
    s.reloads = impl_->daemon.ReloadCount();
    s.failedReloads = impl_->daemon.FailedReloadCount();
    s.uptimeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - impl_->started).count();
    if (impl_->divertTotals) s.divert = impl_->divertTotals();
    return s;
}

bool ControlServer::Start(const std::string& address, uint16_t port, std::string token,
                          std::string& error) {
    impl_->token = std::move(token);
    impl_->Routes();
    impl_->server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(RenderPrometheus(Snapshot()),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
    impl_->server.Get("/api/status", [this](const httplib::Request&, httplib::Response& response) {
        json status = impl_->Status();
        MetricsSnapshot s = Snapshot();
        status["metrics"] = {{"tcpPacketsPerSecond", s.metrics.currentPps},
                             {"synPerSecond", s.metrics.currentSynPerSec},
                             {"dropsPerSecond", s.metrics.currentDropPerSec},
                             {"activeConnections", s.metrics.activeConnections},
                             {"tcpSources", s.metrics.tcpSourceCount},
                             {"udpPacketsPerSecond", s.metrics.udpPps},
                             {"udpKBytesPerSecond", s.metrics.udpKBps},
                             {"udpSources", s.metrics.udpSourceCount},
                             {"icmpPacketsPerSecond", s.metrics.icmpPps},
                             {"icmpKBytesPerSecond", s.metrics.icmpKBps},
                             {"icmpSources", s.metrics.icmpSourceCount},
                             {"threadErrors", s.metrics.threadErrorCount},
                             {"threadErrorActive", s.metrics.threadErrorActive},
                             {"droppedLogEvents", s.droppedLogEvents}};
        status["lists"] = {{"allowed", s.allowListed},
                           {"blocked", s.blockListed},
                           {"refusedBlocks", s.refusedBlocks}};
        status["divertQueueLosses"] = {{"overflow", s.divert.overflow},
                                       {"expired", s.divert.expired},
                                       {"oversize", s.divert.oversize},
                                       {"kernelQueueFull", s.divert.kernelQueueFull},
                                       {"socketOverrun", s.divert.socketOverrun},
                                       {"heldTimeout", s.divert.heldTimeout},
                                       {"heldAtClose", s.divert.heldAtClose}};
        status["uptimeSeconds"] = s.uptimeSeconds;
        Reply(response, 200, status);
    });

    if (port == 0) {
        int bound = impl_->server.bind_to_any_port(address);
        if (bound <= 0) {
            error = "cannot listen on " + address + ": " + ErrnoText(errno);
            return false;
        }
        impl_->port = static_cast<uint16_t>(bound);
    } else {
        if (!impl_->server.bind_to_port(address, port)) {
            error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                    ErrnoText(errno);
            return false;
        }
        impl_->port = port;
    }
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    return true;
}

void ControlServer::Stop() {
    if (!impl_->thread.joinable()) return;
    impl_->server.stop();
    impl_->thread.join();
}

json ControlServer::Impl::Status() {
    HostConfig config = daemon.Config();
    return json{{"running", daemon.Running()},
                {"pid", static_cast<int64_t>(::getpid())},
                {"configFile", daemon.ConfigPath()},
                {"stateDirectory", daemon.StateDirectory()},
                {"tcpEnabled", config.config.tcpEnabled},
                {"udpEnabled", config.config.udpEnabled},
                {"icmpEnabled", config.config.icmpEnabled},
                {"reloads", daemon.ReloadCount()},
                {"failedReloads", daemon.FailedReloadCount()}};
}

void ControlServer::Impl::ListGet(const std::string& list, httplib::Response& response) {
    IpListManager& lists = daemon.State().ipLists;
    json addresses = json::array();
    if (list == "allow") {
        for (uint32_t address : lists.AllowedList())
            addresses.push_back(FormatIPv4Address(address));
    } else {
        for (const IpListManager::BlockEntry& entry : lists.BlockedList()) {
            addresses.push_back(
                {{"address", FormatIPv4Address(entry.address)},
                 {"expires", entry.expiresAt == 0 ? "never" : FormatUtcTicks(entry.expiresAt)}});
        }
    }
    Reply(response, 200, json{{"list", list}, {"addresses", addresses}});
}

void ControlServer::Impl::ListChange(const std::string& list, const std::string& text, bool add,
                                     httplib::Response& response) {
    uint32_t address = 0;
    if (!ParseIPv4Address(text, address)) {
        return ReplyError(response, 400, "\"" + text + "\" is not an IPv4 address");
    }
    IpListManager& lists = daemon.State().ipLists;
    bool changed = false;
    int status = 200;
    if (list == "allow") {
        changed = add ? lists.AddAllowed(address) : lists.RemoveAllowed(address);
    } else if (!add) {
        changed = lists.RemoveBlocked(address);
    } else {
        changed = lists.AddToBlock(address);
        if (!changed && lists.IsAllowed(address)) {
            return ReplyError(response, 409, text + " is on the allow list; remove it there first");
        }
        if (!changed && !lists.IsBlockedLockFree(address)) {
            return ReplyError(response, 507, "the block list is full");
        }
    }
    if (!add && !changed) {
        return ReplyError(response, 404, text + " is not on the " + list + " list");
    }
    if (add && changed) status = 201;
    Reply(response, status, json{{"list", list}, {"address", text}, {"changed", changed}});
}

void ControlServer::Impl::Routes() {
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (token.empty()) return httplib::Server::HandlerResponse::Unhandled;
            const std::string header = request.get_header_value("Authorization");
            const std::string prefix = "Bearer ";
            if (header.compare(0, prefix.size(), prefix) == 0 &&
                SameToken(header.substr(prefix.size()), token)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            response.set_header("WWW-Authenticate", "Bearer");
            ReplyError(response, 401, "a bearer token is required (see the state directory)");
            return httplib::Server::HandlerResponse::Handled;
        });
    server.Get("/api/log", [this](const httplib::Request& request, httplib::Response& response) {
        uint64_t after = 0;
        uint64_t limit = 1000;
        if (!ParseCount(request, "after", after) || !ParseCount(request, "limit", limit)) {
            return ReplyError(response, 400, "after and limit must be whole numbers");
        }
        limit = std::min<uint64_t>(limit, 10'000);
        ThreadSafeLog& log = daemon.State().packetLog;
        json entries = json::array();
        for (const PacketLogEntry& entry : log.EntriesAfter(after, limit)) {
            entries.push_back({{"sequence", entry.sequence},
                               {"time", FormatUtcTicks(entry.time)},
                               {"text", entry.text}});
        }
        Reply(response, 200, json{{"lastSequence", log.LastSequence()}, {"entries", entries}});
    });
    server.Get(R"(/api/lists/(allow|block))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   ListGet(request.matches[1], response);
               });
    server.Post(R"(/api/lists/(allow|block)/([^/]+))",
                WithoutBody([this](const httplib::Request& request, httplib::Response& response) {
                    ListChange(request.matches[1], request.matches[2], true, response);
                }));
    server.Delete(R"(/api/lists/(allow|block)/([^/]+))",
                  WithoutBody([this](const httplib::Request& request, httplib::Response& response) {
                      ListChange(request.matches[1], request.matches[2], false, response);
                  }));
    server.Get("/api/config", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(ConfigToJsonText(daemon.Config()) + "\n", "application/json");
    });
    server.Post(
        "/api/reload", WithoutBody([this](const httplib::Request&, httplib::Response& response) {
            ReloadResult result = daemon.Reload();
            json problems = json::array();
            for (const ConfigProblem& problem : result.problems)
                problems.push_back(problem.Describe());
            Reply(
                response, result.applied ? 200 : 422,
                json{{"applied", result.applied}, {"problems", problems}, {"notes", result.notes}});
        }));
}

}  // namespace bastion
