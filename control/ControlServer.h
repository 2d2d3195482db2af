// ControlServer: the daemon's HTTP endpoint for operators and monitoring.
//
//   GET    /metrics                     Prometheus text (control/Metrics.h)
//   GET    /api/status                  status as JSON
//   GET    /api/log?after=N&limit=M     packet-log entries after sequence N
//   GET    /api/lists/allow|block       a list
//   POST   /api/lists/allow|block/ADDR  adds an address (a block lasts the configured time)
//   DELETE /api/lists/allow|block/ADDR  removes it
//   GET    /api/config                  the configuration in force, in the file's format
//   POST   /api/reload                  re-reads the configuration file
//
// With a token every request must carry "Authorization: Bearer <token>", else 401; the
// daemon sets one whenever it listens on an address other than loopback. List changes
// reach the state directory's files with the engine's periodic list writes and at exit.
//
// Thread-safety: Start and Stop from one thread; requests run on the server's threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "control/Daemon.h"
#include "control/Metrics.h"

namespace bastion {

class ControlServer {
  public:
    // `divertTotals` supplies the diversion counters for the metrics (may be empty).
    ControlServer(Daemon& daemon, std::function<DivertTotals()> divertTotals);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds `address`:`port` (0 = any free port) and starts serving. False with `error`.
    bool Start(const std::string& address, uint16_t port, std::string token, std::string& error);
    // The bound port (after Start).
    uint16_t Port() const;
    void Stop();

    // The figures /metrics exports.
    MetricsSnapshot Snapshot();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// True for 127.0.0.0/8.
bool IsLoopbackAddress(const std::string& address);

// The token in `path`, created (64 hex digits, mode 0600) when the file does not exist.
// "" with `error` set on failure.
std::string LoadOrCreateToken(const std::string& path, std::string& error);

// Strict dotted-quad IPv4 to host order; false when `text` is not one.
bool ParseIPv4Address(const std::string& text, uint32_t& address);
std::string FormatIPv4Address(uint32_t address);

// Wall-clock 100-ns ticks since 1970 as "2026-12-06T18:00:00.123Z".
std::string FormatUtcTicks(int64_t ticks);

}  // namespace bastion
