// Reason texts of rule violations: the wording the log file and the host's packet-log
// viewer show for a Drop or BlockSource verdict.
//
// Texts are built only while reason texts are enabled (RuleEngineState::reasonTextEnabled);
// otherwise the builders leave the reason empty and touch no string at all. Building uses
// per-thread buffers that keep their memory, so the only allocation per reason is the
// result string that travels on to the log.
//
// Thread-safety: every function may run on any thread; the buffers are per thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "capture/PacketView.h"
#include "rules/Verdict.h"

namespace bastion {

class PacketProcessor;

// Appends `address` (host order) as "%u.%u.%u.%u", most significant byte first.
void AppendIPv4(std::string& out, uint32_t address);
// Appends `value` in decimal without grouping.
void AppendDecimal(std::string& out, uint64_t value);
// A rate or other measured double as printed in reason texts: truncated to an integer
// (negative values and NaN as 0, values beyond the 64-bit range as its maximum).
uint64_t TruncatedValue(double value);

// "[<verdict>] <src>:<sport> -> <dst>:<dport> | Rule: <ruleName>", then " | <detail>" when
// the detail is not empty.
std::string FormatRuleEvent(const PacketView& packet, Verdict verdict, std::string_view ruleName,
                            std::string_view detail);
void AppendRuleEvent(std::string& out, const PacketView& packet, Verdict verdict,
                     std::string_view ruleName, std::string_view detail);

// The tests of the TCP evaluator, in its order: seven rule kinds, then the four per-port
// tables.
enum class TcpTest {
    IpPacketRate,
    IpEstablished,
    PayloadSize,
    IpSynRate,
    WindowSynTotal,
    GlobalPacketRate,
    EstablishedIpTotal,
    PortPps,
    PortConn,
    PortSize,
    PortSyn,
};

// What a TCP test measured. `value` is the measured quantity (for PayloadSize and PortSize
// the payload length); `threshold` the limit that was exceeded (block threshold for
// BlockSource, drop threshold — or PayloadSize's effective limit — for Drop).
// `packetCount` is used by GlobalPacketRate only: the packet count printed beside the rate.
struct TcpMeasure {
    uint64_t value = 0;
    uint64_t threshold = 0;
    uint64_t packetCount = 0;
};

// The detail text of `test` for `verdict` (the table of TCP reason details).
void AppendTcpDetail(std::string& out, TcpTest test, Verdict verdict, const PacketView& packet,
                     const TcpMeasure& measure);

// The rule name shown for a per-port test: its prefix followed by the port in decimal.
// Empty for the rule-list kinds (whose name is the rule's own).
void AppendPortRuleName(std::string& out, TcpTest test, uint16_t port);

// Sets result.reason for a TCP test that fired (result.verdict already set) when reason
// texts are enabled; clears it otherwise. `ruleName` is the rule's name for the rule-list
// kinds and ignored for the per-port tables (their name is built from the port).
void SetTcpReason(const PacketProcessor& engine, VerdictResult& result, const PacketView& packet,
                  TcpTest test, std::string_view ruleName, const TcpMeasure& measure);

// The UDP rule texts. `value` is the rate of the test truncated to an integer (for the
// new-source limit: the number of UDP sources of the window).
void AppendUdpBlockReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                          uint64_t value, uint64_t blockThreshold);
void AppendUdpDropReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                         uint64_t value, uint64_t dropThreshold);
void AppendUdpNewSourceReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                              uint64_t sources, uint64_t dropThreshold);

// The ICMP rule texts.
void AppendIcmpBlockReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                           uint64_t value, uint64_t blockThreshold);
void AppendIcmpDropReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                          uint64_t value, uint64_t dropThreshold);

}  // namespace bastion
