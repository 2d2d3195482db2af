#include "rules/ReasonText.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "engine/PacketProcessor.h"

namespace bastion {

namespace {

std::string& DetailBuffer() {
    thread_local std::string buffer;
    buffer.clear();
    return buffer;
}

std::string& NameBuffer() {
    thread_local std::string buffer;
    buffer.clear();
    return buffer;
}

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

void AppendBlockOrDrop(std::string& out, Verdict verdict, std::string_view block,
                       std::string_view drop, uint64_t threshold) {
    out += verdict == Verdict::BlockSource ? block : drop;
    AppendDecimal(out, threshold);
}

}  // namespace

void AppendDecimal(std::string& out, uint64_t value) {
    char digits[20];
    auto [end, error] = std::to_chars(digits, digits + sizeof(digits), value);
    (void)error;  // 20 digits hold every uint64_t
    out.append(digits, end);
}

void AppendIPv4(std::string& out, uint32_t address) {
    AppendDecimal(out, (address >> 24) & 0xFF);
    out += '.';
    AppendDecimal(out, (address >> 16) & 0xFF);
    out += '.';
    AppendDecimal(out, (address >> 8) & 0xFF);
    out += '.';
    AppendDecimal(out, address & 0xFF);
}

uint64_t TruncatedValue(double value) {
    if (!(value > 0)) return 0;
    // 2^64 as a double; anything at or above it does not fit.
    if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

void AppendRuleEvent(std::string& out, const PacketView& packet, Verdict verdict,
                     std::string_view ruleName, std::string_view detail) {
    out += '[';
    out += VerdictName(verdict);
    out += "] ";
    AppendIPv4(out, packet.srcAddr);
    out += ':';
    AppendDecimal(out, packet.srcPort);
    out += " -> ";
    AppendIPv4(out, packet.dstAddr);
    out += ':';
    AppendDecimal(out, packet.dstPort);
    out += " | Rule: ";
    out += ruleName;
    if (!detail.empty()) {
        out += " | ";
        out += detail;
    }
}

std::string FormatRuleEvent(const PacketView& packet, Verdict verdict, std::string_view ruleName,
                            std::string_view detail) {
    std::string text;
    AppendRuleEvent(text, packet, verdict, ruleName, detail);
    return text;
}

void AppendTcpDetail(std::string& out, TcpTest test, Verdict verdict, const PacketView& packet,
                     const TcpMeasure& m) {
    switch (test) {
        case TcpTest::IpPacketRate:
            out += "PPS hiện tại của IP là ";
            AppendDecimal(out, m.value);
            AppendBlockOrDrop(out, verdict, " vượt giới hạn block ", " vượt giới hạn drop ",
                              m.threshold);
            return;
        case TcpTest::IpEstablished:
            out += "IP giữ ";
            AppendDecimal(out, m.value);
            out += " kết nối ESTABLISHED";
            AppendBlockOrDrop(out, verdict, " vượt ngưỡng block ", " vượt ngưỡng drop ",
                              m.threshold);
            return;
        case TcpTest::PayloadSize:
            out += "Kích thước payload ";
            AppendDecimal(out, m.value);
            out += " byte vượt giới hạn ";
            AppendDecimal(out, m.threshold);
            out += " byte";
            return;
        case TcpTest::IpSynRate:
            out += "SYN mỗi giây của IP là ";
            AppendDecimal(out, m.value);
            AppendBlockOrDrop(out, verdict, " vượt ngưỡng block ", " vượt ngưỡng drop ",
                              m.threshold);
            return;
        case TcpTest::WindowSynTotal:
            out += "Tổng số SYN hợp lệ trong cửa sổ là ";
            AppendDecimal(out, m.value);
            out += " vượt giới hạn ";
            AppendDecimal(out, m.threshold);
            return;
        case TcpTest::GlobalPacketRate:
            // The window is always reported as one second.
            out += "PPS hiện tại ";
            AppendDecimal(out, m.value);
            out += "/s (";
            AppendDecimal(out, m.packetCount);
            out += " gói trong 1s) vượt giới hạn ";
            AppendDecimal(out, m.threshold);
            out += "/s";
            return;
        case TcpTest::EstablishedIpTotal:
            AppendDecimal(out, m.value);
            out += " IP đang giữ kết nối ESTABLISHED vượt giới hạn ";
            AppendDecimal(out, m.threshold);
            return;
        case TcpTest::PortPps:
            out += "IP ";
            AppendIPv4(out, packet.srcAddr);
            out += " gửi ";
            AppendDecimal(out, m.value);
            out += " PPS tới cổng ";
            AppendDecimal(out, packet.dstPort);
            AppendBlockOrDrop(out, verdict, " vượt giới hạn block ", " vượt giới hạn drop ",
                              m.threshold);
            return;
        case TcpTest::PortConn:
            out += "IP ";
            AppendIPv4(out, packet.srcAddr);
            out += " đang giữ ";
            AppendDecimal(out, m.value);
            out += " kết nối ESTABLISHED tới cổng ";
            AppendDecimal(out, packet.dstPort);
            AppendBlockOrDrop(out, verdict, " vượt ngưỡng block ", " vượt ngưỡng cho phép ",
                              m.threshold);
            return;
        case TcpTest::PortSize:
            out += "Packet tới cổng ";
            AppendDecimal(out, packet.dstPort);
            out += " có kích thước ";
            AppendDecimal(out, m.value);
            AppendBlockOrDrop(out, verdict, " bytes vượt giới hạn block ",
                              " bytes vượt giới hạn drop ", m.threshold);
            out += " bytes";
            return;
        case TcpTest::PortSyn:
            out += "IP ";
            AppendIPv4(out, packet.srcAddr);
            out += " có ";
            AppendDecimal(out, m.value);
            out += " SYN/s tới cổng ";
            AppendDecimal(out, packet.dstPort);
            AppendBlockOrDrop(out, verdict, " vượt ngưỡng block ", " vượt ngưỡng drop ",
                              m.threshold);
            return;
    }
}

void AppendPortRuleName(std::string& out, TcpTest test, uint16_t port) {
    switch (test) {
        case TcpTest::PortPps:
            out += "Giới hạn PPS mỗi IP theo cổng ";
            break;
        case TcpTest::PortConn:
            out += "Giới hạn kết nối theo cổng ";
            break;
        case TcpTest::PortSize:
            out += "Giới hạn size theo cổng ";
            break;
        case TcpTest::PortSyn:
            out += "Giới hạn SYN/s theo cổng ";
            break;
        default:
            return;
    }
    AppendDecimal(out, port);
}

void SetTcpReason(const PacketProcessor& engine, VerdictResult& result, const PacketView& packet,
                  TcpTest test, std::string_view ruleName, const TcpMeasure& measure) {
    result.reason.clear();
    if (!engine.ruleEngine.reasonTextEnabled.load(std::memory_order_relaxed)) return;
    std::string& detail = DetailBuffer();
    AppendTcpDetail(detail, test, result.verdict, packet, measure);
    if (test >= TcpTest::PortPps) {
        std::string& name = NameBuffer();
        AppendPortRuleName(name, test, packet.dstPort);
        AppendRuleEvent(result.reason, packet, result.verdict, name, detail);
    } else {
        AppendRuleEvent(result.reason, packet, result.verdict, ruleName, detail);
    }
}

void AppendUdpBlockReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                          uint64_t value, uint64_t blockThreshold) {
    out += "Chặn IP ";
    AppendIPv4(out, packet.srcAddr);
    out += " bởi ";
    AppendQuoted(out, ruleName);
    out += " - Giá trị UDP hiện tại: ";
    AppendDecimal(out, value);
    out += " vượt giới hạn block ";
    AppendDecimal(out, blockThreshold);
    out += " [UDP ";
    AppendIPv4(out, packet.srcAddr);
    out += ':';
    AppendDecimal(out, packet.srcPort);
    out += " -> ";
    AppendIPv4(out, packet.dstAddr);
    out += ':';
    AppendDecimal(out, packet.dstPort);
    out += ']';
}

void AppendUdpDropReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                         uint64_t value, uint64_t dropThreshold) {
    out += "Drop gói UDP ";
    AppendIPv4(out, packet.srcAddr);
    out += ':';
    AppendDecimal(out, packet.srcPort);
    out += " -> ";
    AppendIPv4(out, packet.dstAddr);
    out += ':';
    AppendDecimal(out, packet.dstPort);
    out += " bởi ";
    AppendQuoted(out, ruleName);
    out += " - Giá trị hiện tại: ";
    AppendDecimal(out, value);
    out += " vượt giới hạn drop ";
    AppendDecimal(out, dropThreshold);
}

void AppendUdpNewSourceReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                              uint64_t sources, uint64_t dropThreshold) {
    out += "Drop IP mới ";
    AppendIPv4(out, packet.srcAddr);
    out += " bởi ";
    AppendQuoted(out, ruleName);
    out += " - Đang có ";
    AppendDecimal(out, sources);
    out += " IP UDP active vượt giới hạn ";
    AppendDecimal(out, dropThreshold);
    out += ", chỉ từ chối IP mới để bảo toàn phiên cũ";
}

void AppendIcmpBlockReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                           uint64_t value, uint64_t blockThreshold) {
    out += "Chặn IP ";
    AppendIPv4(out, packet.srcAddr);
    out += " bởi ";
    AppendQuoted(out, ruleName);
    out += " - Giá trị ICMP hiện tại: ";
    AppendDecimal(out, value);
    out += " vượt giới hạn block ";
    AppendDecimal(out, blockThreshold);
    out += " [ICMP ";
    AppendIPv4(out, packet.srcAddr);
    out += " -> ";
    AppendIPv4(out, packet.dstAddr);
    out += " Type:";
    AppendDecimal(out, packet.icmpType);
    out += " Size:";
    AppendDecimal(out, packet.payloadLength);
    out += "B]";
}

void AppendIcmpDropReason(std::string& out, const PacketView& packet, std::string_view ruleName,
                          uint64_t value, uint64_t dropThreshold) {
    out += "Drop gói ICMP ";
    AppendIPv4(out, packet.srcAddr);
    out += " -> ";
    AppendIPv4(out, packet.dstAddr);
    out += " bởi ";
    AppendQuoted(out, ruleName);
    out += " - Giá trị hiện tại: ";
    AppendDecimal(out, value);
    out += " vượt giới hạn drop ";
    AppendDecimal(out, dropThreshold);
    out += " [Type:";
    AppendDecimal(out, packet.icmpType);
    out += " Size:";
    AppendDecimal(out, packet.payloadLength);
    out += "B]";
}

}  // namespace bastion
