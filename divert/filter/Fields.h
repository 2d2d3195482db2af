// The vocabulary of the filter language: fields (with their numeric ids, the layers that
// know them, the header they need and their value range), keywords and constant macros.
// Every phase of the compiler and the object format reads these tables; nothing here
// changes after start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "windivert.h"

namespace divert::filter {

using u128 = unsigned __int128;

// Field ids; the numbers are part of the object format and must not change.
enum FieldId : uint8_t {
    kZero = 0,
    kInbound = 1,
    kOutbound = 2,
    kIfIdx = 3,
    kSubIfIdx = 4,
    kIp = 5,
    kIpv6 = 6,
    kIcmp = 7,
    kTcp = 8,
    kUdp = 9,
    kIcmpv6 = 10,
    kIpHdrLength = 11,
    kIpTos = 12,
    kIpLength = 13,
    kIpId = 14,
    kIpDf = 15,
    kIpMf = 16,
    kIpFragOff = 17,
    kIpTtl = 18,
    kIpProtocol = 19,
    kIpChecksum = 20,
    kIpSrcAddr = 21,
    kIpDstAddr = 22,
    kIpv6TrafficClass = 23,
    kIpv6FlowLabel = 24,
    kIpv6Length = 25,
    kIpv6NextHdr = 26,
    kIpv6HopLimit = 27,
    kIpv6SrcAddr = 28,
    kIpv6DstAddr = 29,
    kIcmpType = 30,
    kIcmpCode = 31,
    kIcmpChecksum = 32,
    kIcmpBody = 33,
    kIcmpv6Type = 34,
    kIcmpv6Code = 35,
    kIcmpv6Checksum = 36,
    kIcmpv6Body = 37,
    kTcpSrcPort = 38,
    kTcpDstPort = 39,
    kTcpSeqNum = 40,
    kTcpAckNum = 41,
    kTcpHdrLength = 42,
    kTcpUrg = 43,
    kTcpAck = 44,
    kTcpPsh = 45,
    kTcpRst = 46,
    kTcpSyn = 47,
    kTcpFin = 48,
    kTcpWindow = 49,
    kTcpChecksum = 50,
    kTcpUrgPtr = 51,
    kTcpPayloadLength = 52,
    kUdpSrcPort = 53,
    kUdpDstPort = 54,
    kUdpLength = 55,
    kUdpChecksum = 56,
    kUdpPayloadLength = 57,
    kLoopback = 58,
    kImpostor = 59,
    kProcessId = 60,
    kLocalAddr = 61,
    kRemoteAddr = 62,
    kLocalPort = 63,
    kRemotePort = 64,
    kProtocol = 65,
    kEndpointId = 66,
    kParentEndpointId = 67,
    kLayer = 68,
    kPriority = 69,
    kEvent = 70,
    kPacket = 71,
    kPacket16 = 72,
    kPacket32 = 73,
    kTcpPayload = 74,
    kTcpPayload16 = 75,
    kTcpPayload32 = 76,
    kUdpPayload = 77,
    kUdpPayload16 = 78,
    kUdpPayload32 = 79,
    kLength = 80,
    kTimestamp = 81,
    kRandom8 = 82,
    kRandom16 = 83,
    kRandom32 = 84,
    kFragment = 85,
};
inline constexpr unsigned kFieldCount = 86;

// Comparison operators; the numbers are part of the object format.
enum Op : uint8_t { kEq = 0, kNeq = 1, kLt = 2, kLeq = 3, kGt = 4, kGeq = 5 };
inline constexpr unsigned kOpCount = 6;

// The operator that `not FIELD op V` stands for (the operator is inverted, the test is
// not negated: a test on an absent header stays false).
constexpr Op InvertOp(Op op) {
    switch (op) {
        case kEq:
            return kNeq;
        case kNeq:
            return kEq;
        case kLt:
            return kGeq;
        case kLeq:
            return kGt;
        case kGt:
            return kLeq;
        case kGeq:
            return kLt;
    }
    return op;
}

// A constant as the language writes it: a sign and a 128-bit magnitude. "-0" is negative
// and sorts just below 0, as in the published language.
struct Constant {
    bool negative = false;
    u128 magnitude = 0;

    friend bool operator==(const Constant&, const Constant&) = default;
};

// Total order of constants (every negative below every non-negative, "-0" just below 0).
int CompareConstants(const Constant& a, const Constant& b);

// Layer bits for FieldInfo::layers.
enum LayerBit : uint8_t {
    kLayerNetwork = 1u << WINDIVERT_LAYER_NETWORK,
    kLayerForward = 1u << WINDIVERT_LAYER_NETWORK_FORWARD,
    kLayerFlow = 1u << WINDIVERT_LAYER_FLOW,
    kLayerSocket = 1u << WINDIVERT_LAYER_SOCKET,
    kLayerReflect = 1u << WINDIVERT_LAYER_REFLECT,
    kLayerAll = 0x1F,
};

// Headers a packet test can need; also the slots of PacketInfo::header.
enum HeaderSlot : uint8_t {
    kSlotIpv4 = 0,
    kSlotIpv6 = 1,
    kSlotIcmp = 2,
    kSlotIcmpv6 = 3,
    kSlotTcp = 4,
    kSlotUdp = 5,
    kHeaderSlots = 6,
    kNoHeader = 0xFF,
};

// How FormatFilter prints a field's constant.
enum class ValueFormat : uint8_t { Decimal, Hex, Flag, Ipv4Address, Address, Event, Layer };

// What follows the first argument of a test in the object format.
enum class ObjectExtra : uint8_t { None, OneWord, ThreeWords, ArrayIndex };

struct FieldInfo {
    const char* name;
    uint8_t layers;     // LayerBit mask of the layers that know the field
    uint8_t header;     // HeaderSlot the field reads, or kNoHeader
    uint8_t arrayWord;  // 0 for scalars; 1, 2 or 4 for the byte/word arrays
    ValueFormat format;
    ObjectExtra extra;
    Constant min, max;  // the values the field can take
};

const FieldInfo& Field(unsigned id);

// The field whose header-present test stands for "the header of `slot` exists".
FieldId PresenceField(uint8_t slot);

bool FieldValidAt(unsigned id, WINDIVERT_LAYER layer);

// Words of the language other than fields.
enum class WordKind : uint8_t { None, Field, And, Or, Not, True, False, Macro };

struct WordInfo {
    WordKind kind = WordKind::None;
    uint8_t field = 0;        // for Field
    uint8_t macroLayers = 0;  // for Macro: layers where the macro is a number
    uint32_t macroValue = 0;  // for Macro at a layer where it is a number
};

// Looks up a keyword, field or macro (exact, case-sensitive). `layer` picks the value of
// macros whose meaning depends on it (CLOSE).
WordInfo LookupWord(std::string_view word, WINDIVERT_LAYER layer);

// Macro name of an event or layer value at `layer`, or null.
const char* EventName(uint32_t event, WINDIVERT_LAYER layer);
const char* LayerName(uint32_t layer);

// Whether `event` is an event the handle of `layer` can see.
bool EventValidAt(uint32_t event, WINDIVERT_LAYER layer);

}  // namespace divert::filter
