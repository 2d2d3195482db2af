#include "control/Metrics.h"

#include <cmath>
#include <cstdio>

namespace bastion {

namespace {

class Exposition {
  public:
    // Starts a metric family.
    void Family(const char* name, const char* type, const char* help) {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    void Sample(const char* name, double value, const char* labels = nullptr) {
        text_ += name;
        if (labels != nullptr) {
            text_ += '{';
            text_ += labels;
            text_ += '}';
        }
        text_ += ' ';
        text_ += Number(value);
        text_ += '\n';
    }
    void Sample(const char* name, uint64_t value, const char* labels = nullptr) {
        text_ += name;
        if (labels != nullptr) {
            text_ += '{';
            text_ += labels;
            text_ += '}';
        }
        text_ += ' ';
        text_ += std::to_string(value);
        text_ += '\n';
    }
    std::string Take() { return std::move(text_); }

  private:
    static std::string Number(double value) {
        if (std::isnan(value)) return "NaN";
        if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", value);
        return buffer;
    }
    std::string text_;
};

}  // namespace

std::string RenderPrometheus(const MetricsSnapshot& s) {
    const AppMetrics& m = s.metrics;
    Exposition e;
    e.Family("bastion_packets_per_second", "gauge",
             "Packets per second examined by the rules, by protocol.");
    e.Sample("bastion_packets_per_second", m.currentPps, "protocol=\"tcp\"");
    e.Sample("bastion_packets_per_second", m.udpPps, "protocol=\"udp\"");
    e.Sample("bastion_packets_per_second", m.icmpPps, "protocol=\"icmp\"");
    e.Family("bastion_bytes_per_second", "gauge", "Payload bytes per second, by protocol.");
    e.Sample("bastion_bytes_per_second", m.udpKBps * 1024.0, "protocol=\"udp\"");
    e.Sample("bastion_bytes_per_second", m.icmpKBps * 1024.0, "protocol=\"icmp\"");
    e.Family("bastion_syn_packets_per_second", "gauge", "Pure TCP SYN packets per second.");
    e.Sample("bastion_syn_packets_per_second", m.currentSynPerSec);
    e.Family("bastion_dropped_packets_per_second", "gauge",
             "Packets dropped or blocked per second.");
    e.Sample("bastion_dropped_packets_per_second", m.currentDropPerSec);
    e.Family("bastion_active_connections", "gauge",
             "Distinct remote addresses holding established TCP connections.");
    e.Sample("bastion_active_connections", m.activeConnections);
    e.Family("bastion_sources", "gauge",
             "Source addresses seen in the current window (ICMP: echo requests in the last "
             "10 seconds), by protocol.");
    e.Sample("bastion_sources", m.tcpSourceCount, "protocol=\"tcp\"");
    e.Sample("bastion_sources", m.udpSourceCount, "protocol=\"udp\"");
    e.Sample("bastion_sources", m.icmpSourceCount, "protocol=\"icmp\"");
    e.Family("bastion_thread_errors_total", "counter", "Background thread failures since start.");
    e.Sample("bastion_thread_errors_total", m.threadErrorCount);
    e.Family("bastion_thread_error_active", "gauge",
             "1 while a background thread failed within the last 60 seconds.");
    e.Sample("bastion_thread_error_active", uint64_t{m.threadErrorActive ? 1u : 0u});
    e.Family("bastion_thread_error_last_timestamp_seconds", "gauge",
             "Unix time of the last background thread failure; 0 when none.");
    e.Sample("bastion_thread_error_last_timestamp_seconds",
             static_cast<double>(m.threadErrorTime) / 1e7);
    e.Family("bastion_synack_protection_total", "counter",
             "Counters of the SYN-ACK reflection protection, by index.");
    e.Sample("bastion_synack_protection_total", m.synAckCounters[0], "index=\"0\"");
    e.Sample("bastion_synack_protection_total", m.synAckCounters[1], "index=\"1\"");
    e.Sample("bastion_synack_protection_total", m.synAckCounters[2], "index=\"2\"");
    e.Family("bastion_log_events_dropped_total", "counter",
             "Log events discarded because the log queue was busy or full.");
    e.Sample("bastion_log_events_dropped_total",
             static_cast<uint64_t>(s.droppedLogEvents < 0 ? 0 : s.droppedLogEvents));
    e.Family("bastion_list_addresses", "gauge", "Addresses on the allow and block lists.");
    e.Sample("bastion_list_addresses", s.allowListed, "list=\"allow\"");
    e.Sample("bastion_list_addresses", s.blockListed, "list=\"block\"");
    e.Family("bastion_blocks_refused_total", "counter",
             "Blocks refused because the block list was full.");
    e.Sample("bastion_blocks_refused_total", s.refusedBlocks);
    e.Family("bastion_packet_log_entries", "gauge", "Entries held by the packet log.");
    e.Sample("bastion_packet_log_entries", s.packetLogEntries);
    e.Family("bastion_packet_log_written_total", "counter", "Entries accepted by the packet log.");
    e.Sample("bastion_packet_log_written_total", s.packetLogSequence);
    e.Family("bastion_divert_packets_total", "counter",
             "Packets of the diversion handles, by stage (queued for the engine, received by "
             "it, discarded by driver drop filters, left unsent by the engine and released "
             "by the kernel queue).");
    e.Sample("bastion_divert_packets_total", s.divert.queued, "stage=\"queued\"");
    e.Sample("bastion_divert_packets_total", s.divert.received, "stage=\"received\"");
    e.Sample("bastion_divert_packets_total", s.divert.filterDropped, "stage=\"filter_dropped\"");
    e.Sample("bastion_divert_packets_total", s.divert.releasedUnsent, "stage=\"released_unsent\"");
    e.Family("bastion_divert_queue_lost_packets_total", "counter",
             "Packets the diversion queues lost, by reason: before the engine received them, "
             "or (held_timeout, held_at_close) received but not answered in time.");
    e.Sample("bastion_divert_queue_lost_packets_total", s.divert.overflow, "reason=\"overflow\"");
    e.Sample("bastion_divert_queue_lost_packets_total", s.divert.expired, "reason=\"expired\"");
    e.Sample("bastion_divert_queue_lost_packets_total", s.divert.oversize, "reason=\"oversize\"");
    e.Sample("bastion_divert_queue_lost_packets_total", s.divert.kernelQueueFull,
             "reason=\"kernel_queue_full\"");
    e.Sample("bastion_divert_queue_lost_packets_total", s.divert.socketOverrun,
             "reason=\"socket_overrun\"");
    e.Sample("bastion_divert_queue_lost_packets_total", s.divert.heldTimeout,
             "reason=\"held_timeout\"");
    e.Sample("bastion_divert_queue_lost_packets_total", s.divert.heldAtClose,
             "reason=\"held_at_close\"");
    e.Family("bastion_config_reloads_total", "counter", "Configuration reloads, by result.");
    e.Sample("bastion_config_reloads_total", s.reloads, "result=\"applied\"");
    e.Sample("bastion_config_reloads_total", s.failedReloads, "result=\"rejected\"");
    e.Family("bastion_uptime_seconds", "gauge", "Seconds since the daemon started.");
    e.Sample("bastion_uptime_seconds", s.uptimeSeconds);
    return e.Take();
}

}  // namespace bastion
