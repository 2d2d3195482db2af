// Tables of fields, keywords and macros.
#include "divert/filter/Fields.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace divert::filter {
namespace {

constexpr uint8_t kN = kLayerNetwork;
constexpr uint8_t kF = kLayerForward;
constexpr uint8_t kFl = kLayerFlow;
constexpr uint8_t kS = kLayerSocket;
constexpr uint8_t kR = kLayerReflect;
constexpr uint8_t kNF = kN | kF;
constexpr uint8_t kPacketLayers = kN | kF | kFl | kS;  // ip, tcp, ... and the 5-tuple ones
constexpr uint8_t kNFlS = kN | kFl | kS;

constexpr Constant U(u128 v) {
    return Constant{false, v};
}
constexpr Constant Neg(u128 v) {
    return Constant{true, v};
}
constexpr u128 kMax32 = 0xFFFFFFFFu;
constexpr u128 kMax64 = ~uint64_t{0};
constexpr u128 kMax128 = ~u128{0};
constexpr u128 kMapped = u128{0xFFFF} << 32;

using VF = ValueFormat;
using OX = ObjectExtra;

constexpr FieldInfo Scalar(const char* name, uint8_t layers, uint8_t header, VF format,
                           Constant min, Constant max, OX extra = OX::None) {
    return FieldInfo{name, layers, header, 0, format, extra, min, max};
}
constexpr FieldInfo Flag(const char* name, uint8_t layers, uint8_t header) {
    return Scalar(name, layers, header, VF::Flag, U(0), U(1));
}
constexpr FieldInfo Array(const char* name, uint8_t header, uint8_t word) {
    return FieldInfo{name,    kNF,
                     header,  word,
                     VF::Hex, OX::ArrayIndex,
                     U(0),    U(word == 1 ? 0xFF : word == 2 ? 0xFFFF : kMax32)};
}

// Indexed by FieldId.
constexpr std::array<FieldInfo, kFieldCount> kFields = {{
    Scalar("zero", kLayerAll, kNoHeader, VF::Decimal, U(0), U(0)),
    Flag("inbound", kNFlS, kNoHeader),
    Flag("outbound", kNFlS, kNoHeader),
    Scalar("ifIdx", kNF, kNoHeader, VF::Decimal, U(0), U(kMax32)),
    Scalar("subIfIdx", kNF, kNoHeader, VF::Decimal, U(0), U(kMax32)),
    Flag("ip", kPacketLayers, kNoHeader),
    Flag("ipv6", kPacketLayers, kNoHeader),
    Flag("icmp", kPacketLayers, kNoHeader),
    Flag("tcp", kPacketLayers, kNoHeader),
    Flag("udp", kPacketLayers, kNoHeader),
    Flag("icmpv6", kPacketLayers, kNoHeader),
    Scalar("ip.HdrLength", kNF, kSlotIpv4, VF::Decimal, U(0), U(15)),
    // The byte is 8 bits wide; larger constants are rejected rather than compiled into a
    // filter that the open check would refuse.
    Scalar("ip.TOS", kNF, kSlotIpv4, VF::Decimal, U(0), U(255)),
    Scalar("ip.Length", kNF, kSlotIpv4, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("ip.Id", kNF, kSlotIpv4, VF::Hex, U(0), U(0xFFFF)),
    Flag("ip.DF", kNF, kSlotIpv4),
    Flag("ip.MF", kNF, kSlotIpv4),
    Scalar("ip.FragOff", kNF, kSlotIpv4, VF::Decimal, U(0), U(8191)),
    Scalar("ip.TTL", kNF, kSlotIpv4, VF::Decimal, U(0), U(255)),
    Scalar("ip.Protocol", kNF, kSlotIpv4, VF::Decimal, U(0), U(255)),
    Scalar("ip.Checksum", kNF, kSlotIpv4, VF::Hex, U(0), U(0xFFFF)),
    Scalar("ip.SrcAddr", kNF, kSlotIpv4, VF::Ipv4Address, U(kMapped), U(kMapped | kMax32)),
    Scalar("ip.DstAddr", kNF, kSlotIpv4, VF::Ipv4Address, U(kMapped), U(kMapped | kMax32)),
    Scalar("ipv6.TrafficClass", kNF, kSlotIpv6, VF::Decimal, U(0), U(255)),
    Scalar("ipv6.FlowLabel", kNF, kSlotIpv6, VF::Decimal, U(0), U(0xFFFFF)),
    Scalar("ipv6.Length", kNF, kSlotIpv6, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("ipv6.NextHdr", kNF, kSlotIpv6, VF::Decimal, U(0), U(255)),
    Scalar("ipv6.HopLimit", kNF, kSlotIpv6, VF::Decimal, U(0), U(255)),
    Scalar("ipv6.SrcAddr", kNF, kSlotIpv6, VF::Address, U(0), U(kMax128), OX::ThreeWords),
    Scalar("ipv6.DstAddr", kNF, kSlotIpv6, VF::Address, U(0), U(kMax128), OX::ThreeWords),
    Scalar("icmp.Type", kNF, kSlotIcmp, VF::Decimal, U(0), U(255)),
    Scalar("icmp.Code", kNF, kSlotIcmp, VF::Decimal, U(0), U(255)),
    Scalar("icmp.Checksum", kNF, kSlotIcmp, VF::Hex, U(0), U(0xFFFF)),
    Scalar("icmp.Body", kNF, kSlotIcmp, VF::Decimal, U(0), U(kMax32)),
    Scalar("icmpv6.Type", kNF, kSlotIcmpv6, VF::Decimal, U(0), U(255)),
    Scalar("icmpv6.Code", kNF, kSlotIcmpv6, VF::Decimal, U(0), U(255)),
    Scalar("icmpv6.Checksum", kNF, kSlotIcmpv6, VF::Hex, U(0), U(0xFFFF)),
    Scalar("icmpv6.Body", kNF, kSlotIcmpv6, VF::Decimal, U(0), U(kMax32)),
    Scalar("tcp.SrcPort", kNF, kSlotTcp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("tcp.DstPort", kNF, kSlotTcp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("tcp.SeqNum", kNF, kSlotTcp, VF::Decimal, U(0), U(kMax32)),
    Scalar("tcp.AckNum", kNF, kSlotTcp, VF::Decimal, U(0), U(kMax32)),
    Scalar("tcp.HdrLength", kNF, kSlotTcp, VF::Decimal, U(0), U(15)),
    Flag("tcp.Urg", kNF, kSlotTcp),
    Flag("tcp.Ack", kNF, kSlotTcp),
    Flag("tcp.Psh", kNF, kSlotTcp),
    Flag("tcp.Rst", kNF, kSlotTcp),
    Flag("tcp.Syn", kNF, kSlotTcp),
    Flag("tcp.Fin", kNF, kSlotTcp),
    Scalar("tcp.Window", kNF, kSlotTcp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("tcp.Checksum", kNF, kSlotTcp, VF::Hex, U(0), U(0xFFFF)),
    Scalar("tcp.UrgPtr", kNF, kSlotTcp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("tcp.PayloadLength", kNF, kSlotTcp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("udp.SrcPort", kNF, kSlotUdp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("udp.DstPort", kNF, kSlotUdp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("udp.Length", kNF, kSlotUdp, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("udp.Checksum", kNF, kSlotUdp, VF::Hex, U(0), U(0xFFFF)),
    Scalar("udp.PayloadLength", kNF, kSlotUdp, VF::Decimal, U(0), U(0xFFFF)),
    // One-bit address flags: treated as flags (0 or 1) like the others.
    Flag("loopback", kNFlS, kNoHeader),
    Flag("impostor", kNF, kNoHeader),
    Scalar("processId", kFl | kS | kR, kNoHeader, VF::Decimal, U(0), U(kMax32)),
    Scalar("localAddr", kNFlS, kNoHeader, VF::Address, U(0), U(kMax128), OX::ThreeWords),
    Scalar("remoteAddr", kNFlS, kNoHeader, VF::Address, U(0), U(kMax128), OX::ThreeWords),
    Scalar("localPort", kNFlS, kNoHeader, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("remotePort", kNFlS, kNoHeader, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("protocol", kNFlS, kNoHeader, VF::Decimal, U(0), U(255)),
    Scalar("endpointId", kFl | kS, kNoHeader, VF::Decimal, U(0), U(kMax64), OX::OneWord),
    Scalar("parentEndpointId", kFl | kS, kNoHeader, VF::Decimal, U(0), U(kMax64), OX::OneWord),
    Scalar("layer", kR, kNoHeader, VF::Layer, U(0), U(4)),
    Scalar("priority", kR, kNoHeader, VF::Decimal, Neg(30000), U(30000)),
    Scalar("event", kLayerAll, kNoHeader, VF::Event, U(0), U(9)),
    Array("packet", kNoHeader, 1),
    Array("packet16", kNoHeader, 2),
    Array("packet32", kNoHeader, 4),
    Array("tcp.Payload", kSlotTcp, 1),
    Array("tcp.Payload16", kSlotTcp, 2),
    Array("tcp.Payload32", kSlotTcp, 4),
    Array("udp.Payload", kSlotUdp, 1),
    Array("udp.Payload16", kSlotUdp, 2),
    Array("udp.Payload32", kSlotUdp, 4),
    Scalar("length", kNF, kNoHeader, VF::Decimal, U(20), U(WINDIVERT_MTU_MAX)),
    Scalar("timestamp", kLayerAll, kNoHeader, VF::Decimal, Neg(u128{1} << 63),
           U((u128{1} << 63) - 1), OX::OneWord),
    Scalar("random8", kNF, kNoHeader, VF::Decimal, U(0), U(0xFF)),
    Scalar("random16", kNF, kNoHeader, VF::Decimal, U(0), U(0xFFFF)),
    Scalar("random32", kNF, kNoHeader, VF::Decimal, U(0), U(kMax32)),
    Flag("fragment", kNF, kNoHeader),
}};

struct Macro {
    const char* name;
    uint8_t layers;
    uint32_t value;
};

// Number macros valid at every layer (layer names included, as in the published
// language).
constexpr Macro kValueMacros[] = {
    {"TRUE", kLayerAll, 1},
    {"FALSE", kLayerAll, 0},
    {"TCP", kLayerAll, 6},
    {"UDP", kLayerAll, 17},
    {"ICMP", kLayerAll, 1},
    {"ICMPV6", kLayerAll, 58},
    {"NETWORK", kLayerAll, WINDIVERT_LAYER_NETWORK},
    {"NETWORK_FORWARD", kLayerAll, WINDIVERT_LAYER_NETWORK_FORWARD},
    {"FLOW", kLayerAll, WINDIVERT_LAYER_FLOW},
    {"SOCKET", kLayerAll, WINDIVERT_LAYER_SOCKET},
    {"REFLECT", kLayerAll, WINDIVERT_LAYER_REFLECT},
};

// Event macros are numbers only at the layers that have the event. CLOSE is listed twice:
// 7 at the socket layer, 9 at the reflect layer.
constexpr Macro kEventMacros[] = {
    {"PACKET", kNF, WINDIVERT_EVENT_NETWORK_PACKET},
    {"ESTABLISHED", kFl, WINDIVERT_EVENT_FLOW_ESTABLISHED},
    {"DELETED", kFl, WINDIVERT_EVENT_FLOW_DELETED},
    {"BIND", kS, WINDIVERT_EVENT_SOCKET_BIND},
    {"CONNECT", kS, WINDIVERT_EVENT_SOCKET_CONNECT},
    {"LISTEN", kS, WINDIVERT_EVENT_SOCKET_LISTEN},
    {"ACCEPT", kS, WINDIVERT_EVENT_SOCKET_ACCEPT},
    {"CLOSE", kS, WINDIVERT_EVENT_SOCKET_CLOSE},
    {"CLOSE", kR, WINDIVERT_EVENT_REFLECT_CLOSE},
    {"OPEN", kR, WINDIVERT_EVENT_REFLECT_OPEN},
};

struct NamedWord {
    std::string_view name;
    WordKind kind;
    uint8_t field;
};

// Sorted table of keywords and field names for binary search (built once).
struct WordTable {
    std::array<NamedWord, kFieldCount + 5> words{};

    WordTable() {
        size_t n = 0;
        for (unsigned id = 0; id < kFieldCount; ++id) {
            words[n++] = {kFields[id].name, WordKind::Field, static_cast<uint8_t>(id)};
        }
        words[n++] = {"and", WordKind::And, 0};
        words[n++] = {"or", WordKind::Or, 0};
        words[n++] = {"not", WordKind::Not, 0};
        words[n++] = {"true", WordKind::True, 0};
        words[n++] = {"false", WordKind::False, 0};
        std::sort(words.begin(), words.end(),
                  [](const NamedWord& a, const NamedWord& b) { return a.name < b.name; });
    }
};

const WordTable& Words() {
    static const WordTable table;
    return table;
}

uint8_t LayerBitOf(WINDIVERT_LAYER layer) {
    return static_cast<unsigned>(layer) <= WINDIVERT_LAYER_REFLECT
               ? static_cast<uint8_t>(1u << static_cast<unsigned>(layer))
               : 0;
}

}  // namespace

int CompareConstants(const Constant& a, const Constant& b) {
    if (a.negative != b.negative) return a.negative ? -1 : 1;
    if (a.magnitude == b.magnitude) return 0;
    bool aSmaller = a.magnitude < b.magnitude;
    // Among negatives the larger magnitude is the smaller number.
    if (a.negative) aSmaller = !aSmaller;
    return aSmaller ? -1 : 1;
}

const FieldInfo& Field(unsigned id) {
    return kFields[id < kFieldCount ? id : 0];
}

FieldId PresenceField(uint8_t slot) {
    switch (slot) {
        case kSlotIpv4:
            return kIp;
        case kSlotIpv6:
            return kIpv6;
        case kSlotIcmp:
            return kIcmp;
        case kSlotIcmpv6:
            return kIcmpv6;
        case kSlotTcp:
            return kTcp;
        case kSlotUdp:
            return kUdp;
    }
    return kZero;
}

bool FieldValidAt(unsigned id, WINDIVERT_LAYER layer) {
    return id < kFieldCount && (kFields[id].layers & LayerBitOf(layer)) != 0;
}

WordInfo LookupWord(std::string_view word, WINDIVERT_LAYER layer) {
    WordInfo info;
    const auto& words = Words().words;
    auto it =
        std::lower_bound(words.begin(), words.end(), word,
                         [](const NamedWord& w, std::string_view key) { return w.name < key; });
    if (it != words.end() && it->name == word) {
        info.kind = it->kind;
        info.field = it->field;
        return info;
    }
    auto consider = [&](const Macro& macro) {
        if (word != macro.name) return;
        info.kind = WordKind::Macro;
        info.macroLayers |= macro.layers;
        if (macro.layers & LayerBitOf(layer)) info.macroValue = macro.value;
    };
    for (const Macro& macro : kValueMacros)
        consider(macro);
    for (const Macro& macro : kEventMacros)
        consider(macro);
    return info;
}

const char* EventName(uint32_t event, WINDIVERT_LAYER layer) {
    for (const Macro& macro : kEventMacros) {
        if (macro.value == event && (macro.layers & LayerBitOf(layer))) return macro.name;
    }
    return nullptr;
}

const char* LayerName(uint32_t layer) {
    static constexpr const char* kNames[] = {"NETWORK", "NETWORK_FORWARD", "FLOW", "SOCKET",
                                             "REFLECT"};
    return layer <= WINDIVERT_LAYER_REFLECT ? kNames[layer] : nullptr;
}

bool EventValidAt(uint32_t event, WINDIVERT_LAYER layer) {
    switch (layer) {
        case WINDIVERT_LAYER_NETWORK:
        case WINDIVERT_LAYER_NETWORK_FORWARD:
            return event == WINDIVERT_EVENT_NETWORK_PACKET;
        case WINDIVERT_LAYER_FLOW:
            return event == WINDIVERT_EVENT_FLOW_ESTABLISHED ||
                   event == WINDIVERT_EVENT_FLOW_DELETED;
        case WINDIVERT_LAYER_SOCKET:
            return event >= WINDIVERT_EVENT_SOCKET_BIND && event <= WINDIVERT_EVENT_SOCKET_CLOSE;
        case WINDIVERT_LAYER_REFLECT:
            return event == WINDIVERT_EVENT_REFLECT_OPEN || event == WINDIVERT_EVENT_REFLECT_CLOSE;
    }
    return false;
}

}  // namespace divert::filter
