// `bastion lists` and `bastion status`: clients of a running daemon. The daemon leaves
// control.json (pid, address, port) in its state directory while it runs; without a live
// daemon, `lists` works on the state directory's files directly.
#include <signal.h>

#include <httplib.h>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "control/Commands.h"
#include "control/ControlServer.h"
#include "control/IpListManager.h"

namespace bastion {

namespace {

using json = nlohmann::json;

std::string StatePath(const std::string& directory, const char* name) {
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

struct DaemonAddress {
    std::string host;
    uint16_t port = 0;
    std::string token;
};

// The running daemon of `stateDirectory`; nullopt when none runs (no control file, or
// one left by a process that is gone).
std::optional<DaemonAddress> FindDaemon(const std::string& stateDirectory) {
    std::ifstream file(StatePath(stateDirectory, "control.json"));
    if (!file) return std::nullopt;
    json control = json::parse(file, nullptr, false);
    if (!control.is_object() || !control["pid"].is_number_integer() ||
        !control["port"].is_number_unsigned() || !control["address"].is_string()) {
        return std::nullopt;
    }
    pid_t pid = static_cast<pid_t>(control["pid"].get<int64_t>());
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM)) return std::nullopt;
    DaemonAddress daemon;
    daemon.host = control["address"].get<std::string>();
    if (daemon.host == "0.0.0.0") daemon.host = "127.0.0.1";
    daemon.port = control["port"].get<uint16_t>();
    std::ifstream tokenFile(StatePath(stateDirectory, "api-token"));
    tokenFile >> daemon.token;
    return daemon;
}

// Sends one request; the parsed JSON reply and its status, or nullopt (reported) when the
// daemon could not be reached.
std::optional<std::pair<int, json>> Call(const DaemonAddress& daemon, const std::string& method,
                                         const std::string& path, std::ostream& err) {
    httplib::Client client(daemon.host, daemon.port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    httplib::Headers headers;
    if (!daemon.token.empty()) headers.emplace("Authorization", "Bearer " + daemon.token);
    httplib::Result result = method == "GET"    ? client.Get(path, headers)
                             : method == "POST" ? client.Post(path, headers, "", "text/plain")
                                                : client.Delete(path, headers);
    if (!result) {
        err << "bastion: the daemon at " << daemon.host << ":" << daemon.port
            << " does not answer: " << httplib::to_string(result.error()) << '\n';
        return std::nullopt;
    }
    return std::make_pair(result->status, json::parse(result->body, nullptr, false));
}

int ListsThroughDaemon(const DaemonAddress& daemon, const std::string& list,
                       const std::string& action, const std::string& address, std::ostream& out,
                       std::ostream& err) {
    if (action == "show") {
        auto reply = Call(daemon, "GET", "/api/lists/" + list, err);
        if (!reply) return 1;
        if (reply->first != 200) {
            err << "bastion: " << reply->second.value("error", "request failed") << '\n';
            return 1;
        }
        for (const json& entry : reply->second["addresses"]) {
            if (entry.is_string()) {
                out << entry.get<std::string>() << '\n';
            } else {
                out << entry.value("address", "") << ' ' << entry.value("expires", "") << '\n';
            }
        }
        return 0;
    }
    auto reply = Call(daemon, action == "add" ? "POST" : "DELETE",
                      "/api/lists/" + list + "/" + address, err);
    if (!reply) return 1;
    if (reply->first >= 300) {
        err << "bastion: " << reply->second.value("error", "request failed") << '\n';
        return 1;
    }
    out << (reply->second.value("changed", false) ? "" : "unchanged: ") << address << '\n';
    return 0;
}

int ListsOnFiles(const std::string& stateDirectory, const std::string& list,
                 const std::string& action, const std::string& text, std::ostream& out,
                 std::ostream& err) {
    IpListManager lists;
    lists.SetStorageDirectory(stateDirectory);
    for (const IpListManager::LoadProblem& problem : lists.LoadFromFiles()) {
        err << "bastion: skipped: " << problem.Describe() << '\n';
    }
    if (action == "show") {
        if (list == "allow") {
            for (uint32_t address : lists.AllowedList())
                out << FormatIPv4Address(address) << '\n';
        } else {
            for (const IpListManager::BlockEntry& entry : lists.BlockedList()) {
                out << FormatIPv4Address(entry.address) << ' '
                    << (entry.expiresAt == 0 ? "never" : FormatUtcTicks(entry.expiresAt)) << '\n';
            }
        }
        return 0;
    }
    uint32_t address = 0;
    ParseIPv4Address(text, address);
    bool changed = false;
    if (list == "allow") {
        changed = action == "add" ? lists.AddAllowed(address) : lists.RemoveAllowed(address);
    } else if (action == "add") {
        changed = lists.AddToBlock(address);
        if (!changed && lists.IsAllowed(address)) {
            err << "bastion: " << text << " is on the allow list; remove it there first\n";
            return 1;
        }
    } else {
        changed = lists.RemoveBlocked(address);
    }
    if (action == "remove" && !changed) {
        err << "bastion: " << text << " is not on the " << list << " list\n";
        return 1;
    }
    if (!lists.FlushToFiles()) {
        err << "bastion: " << lists.LastError() << '\n';
        return 1;
    }
    out << (changed ? "" : "unchanged: ") << text << '\n';
    return 0;
}

}  // namespace

int ListsCommand(const std::string& list, const std::string& action, const std::string& address,
                 const std::string& stateDirectory, std::ostream& out, std::ostream& err) {
    uint32_t parsed = 0;
    if (action != "show" && !ParseIPv4Address(address, parsed)) {
        err << "bastion: \"" << address << "\" is not an IPv4 address\n";
        return 1;
    }
    if (std::optional<DaemonAddress> daemon = FindDaemon(stateDirectory)) {
        return ListsThroughDaemon(*daemon, list, action, address, out, err);
    }
    return ListsOnFiles(stateDirectory, list, action, address, out, err);
}

int StatusCommand(bool asJson, const std::string& stateDirectory, std::ostream& out,
                  std::ostream& err) {
    std::optional<DaemonAddress> daemon = FindDaemon(stateDirectory);
    if (!daemon) {
        err << "bastion: not running (no live daemon for state directory " << stateDirectory
            << ")\n";
        return 3;
    }
    auto reply = Call(*daemon, "GET", "/api/status", err);
    if (!reply) return 1;
    if (reply->first != 200) {
        err << "bastion: " << reply->second.value("error", "request failed") << '\n';
        return 1;
    }
    if (asJson) {
        out << reply->second.dump(2) << '\n';
        return 0;
    }
    // One "name  value" row per figure, nested objects flattened with dots; rates to two
    // decimals (the JSON keeps every digit).
    auto text = [](const auto& value) -> std::string {
        if (value.is_string()) return value.template get<std::string>();
        if (value.is_number_float()) {
            char number[64];
            std::snprintf(number, sizeof number, "%.2f", value.template get<double>());
            return number;
        }
        return value.dump();
    };
    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& [key, value] : reply->second.items()) {
        if (value.is_object()) {
            for (const auto& [inner, innerValue] : value.items())
                rows.emplace_back(key + "." + inner, text(innerValue));
        } else {
            rows.emplace_back(key, text(value));
        }
    }
    size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, row.first.size());
    for (const auto& [name, value] : rows) {
        out << name << std::string(width + 2 - name.size(), ' ') << value << '\n';
    }
    return 0;
}

}  // namespace bastion
