// The filter texts the engine builds, instantiated as in its documentation examples, for
// the filter tests and benchmarks.
#pragma once

#include <string>

namespace divert::testing {

// Main network filter: TCP to 1.2.3.4 ports {80, 443} and ICMP to any address.
inline const char* const kMainFilter =
    "(ip and tcp and inbound and ip.DstAddr == 1.2.3.4 and (tcp.DstPort == 80 or tcp.DstPort "
    "== 443)) or (ip and icmp and inbound)";

// Flow filter for literal address 10.0.0.5 and ports {22}, and the tracker's fallback.
inline const char* const kFlowFilter =
    "((localAddr == 10.0.0.5 or localAddr == ::ffff:10.0.0.5) and (localPort == 22))";
inline const char* const kDefaultFlowFilter = "(protocol == 6)";

// Sniff filter with all three modules and UDP ports {53, 123}.
inline const char* const kSniffFilter =
    "outbound and ((tcp.Syn and not tcp.Ack) or (tcp.Syn and tcp.Ack) or (udp and (udp.DstPort "
    "== 53 or udp.DstPort == 123)))";

// Header-lane clause: SYN only, port 80, IP length 60, window 64240, header length 10.
inline const char* const kHeaderClause =
    "(tcp.Syn and not tcp.Ack and not tcp.Fin and not tcp.Rst and not tcp.Psh and not tcp.Urg "
    "and tcp.DstPort == 80 and ip.Length == 60 and tcp.Window == 64240 and tcp.HdrLength == 10 "
    "and tcp.PayloadLength == 0)";

// Deep-inspection clause: ACK|PSH, port 80, header length 5, window 502, 257..512 payload
// bytes starting "GET /ind".
inline const char* const kPayloadClause =
    "(not tcp.Syn and tcp.Ack and not tcp.Fin and not tcp.Rst and tcp.Psh and not tcp.Urg and "
    "tcp.DstPort == 80 and tcp.HdrLength == 5 and tcp.Window == 502 and tcp.PayloadLength >= 257 "
    "and tcp.PayloadLength <= 512 and tcp.Payload32[0] == 0x47455420 and tcp.Payload32[1] == "
    "0x2f696e64)";

inline std::string LaneFilter(const std::string& clauses) {
    return "inbound and tcp and (" + clauses + ")";
}

// A header-lane handle filter with `count` clauses of the shape above, for ports 80, 81, ...
inline std::string HeaderLaneFilter(int count) {
    std::string clauses;
    for (int i = 0; i < count; ++i) {
        if (i > 0) clauses += " or ";
        clauses +=
            "(tcp.Syn and not tcp.Ack and not tcp.Fin and not tcp.Rst and not tcp.Psh and not "
            "tcp.Urg and tcp.DstPort == " +
            std::to_string(80 + i) +
            " and ip.Length == 60 and tcp.Window == 64240 and tcp.HdrLength == 10 and "
            "tcp.PayloadLength == 0)";
    }
    return LaneFilter(clauses);
}

// Protocol validation module, both variants.
inline const char* const kProtocolValidationFilter =
    "inbound and tcp and ((tcp.Syn and tcp.Fin) or (tcp.Syn and tcp.Rst) or (tcp.Fin and "
    "tcp.Rst) or (not tcp.Syn and not tcp.Ack and not tcp.Fin and not tcp.Rst and not tcp.Psh "
    "and not tcp.Urg) or (tcp.Fin and tcp.Psh and tcp.Urg and not tcp.Syn and not tcp.Ack and "
    "not tcp.Rst) or (tcp.Syn and tcp.Fin and tcp.Rst) or (tcp.Syn and tcp.Fin and tcp.Rst and "
    "tcp.Ack and tcp.Psh and tcp.Urg) or (tcp.Urg and not tcp.Ack and not tcp.Syn) or (tcp.Psh "
    "and not tcp.Ack and not tcp.Syn) or (tcp.Rst and tcp.Ack and tcp.Syn) or (tcp.Urg and "
    "tcp.Syn and not tcp.Ack) or (tcp.Urg and tcp.PayloadLength == 0) or (tcp.Fin and not "
    "tcp.Ack and not tcp.Syn and not tcp.Rst and not tcp.Psh and not tcp.Urg) or (tcp.Window == "
    "0 and tcp.PayloadLength > 0) or (tcp.HdrLength < 5) or (tcp.HdrLength > 15) or (ip.TTL == "
    "0) or (ip.Length < 40) or (tcp.Rst and tcp.PayloadLength > 20) or (tcp.Syn and not tcp.Ack "
    "and tcp.Window == 0) or (tcp.SrcPort == 0) or (tcp.DstPort == 0) or (tcp.SeqNum == 0 and "
    "tcp.AckNum == 0 and not tcp.Syn))";

inline std::string StrictProtocolValidationFilter() {
    std::string text = kProtocolValidationFilter;
    text.pop_back();
    return text + " or (tcp.Syn and not tcp.Ack and tcp.PayloadLength > 0))";
}

// Invalid UDP module, both variants.
inline const char* const kInvalidUdpFilter =
    "inbound and udp and ((udp.SrcPort == 0) or (udp.DstPort == 0) or (ip.TTL == 0) or (ip.TTL "
    "== 1) or (udp.Length < 8) or (ip.Length < 28) or (ip.FragOff > 0 and not ip.MF))";

inline std::string InvalidUdpRejectEmptyFilter() {
    std::string text = kInvalidUdpFilter;
    text.pop_back();
    return text + " or (udp.PayloadLength == 0))";
}

// Invalid ICMP module with every option on (last fragments only, size limit 1024).
inline const char* const kInvalidIcmpFilter =
    "inbound and icmp and ((ip.TTL == 0) or (ip.Length < 28) or (icmp.Type > 18 and icmp.Type "
    "!= 30 and icmp.Type != 40 and icmp.Type != 43) or (ip.TTL == 1) or (ip.FragOff > 0 and not "
    "ip.MF) or (ip.Length > 1024) or ((icmp.Type == 0 or icmp.Type == 8) and icmp.Code != 0) or "
    "(icmp.Type == 4 or icmp.Type == 6 or icmp.Type == 15 or icmp.Type == 16 or icmp.Type == 17 "
    "or icmp.Type == 18) or (ip.Length == 28))";

// UDP amplification protection: source ports {53, 123}, one peer.
inline const char* const kUdpAmplificationFilter =
    "inbound and udp and (udp.SrcPort == 53 or udp.SrcPort == 123) and ip.SrcAddr != 192.0.2.10";

// SYN-ACK protection with one peer, and the largest variant (150 peers).
inline const char* const kSynAckFilter =
    "inbound and tcp and tcp.Syn and tcp.Ack and ip.SrcAddr != 198.51.100.20";

inline std::string SynAckFilter(int peers) {
    std::string text = "inbound and tcp and tcp.Syn and tcp.Ack";
    for (int i = 0; i < peers; ++i) {
        text += " and ip.SrcAddr != 198.51." + std::to_string(100 + i / 200) + "." +
                std::to_string(1 + i % 200);
    }
    return text;
}

}  // namespace divert::testing
