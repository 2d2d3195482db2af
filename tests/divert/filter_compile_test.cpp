// Filter compilation: accept table (spellings that compile to the identical program, the
// object string and the formatted text), reject table (exact error string and position),
// and the open-time checks of the runtime's Compile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "divert/filter/Filter.h"
#include "tests/divert/EngineFilters.h"
#include "windivert.h"

namespace divert::testing {
namespace {

struct Compiled {
    bool ok = false;
    std::string object;
    std::string error;
    UINT position = 0;
};

Compiled CompileText(const std::string& text, WINDIVERT_LAYER layer) {
    Compiled result;
    char object[8192];
    const char* error = nullptr;
    UINT position = 12345;
    result.ok = WinDivertHelperCompileFilter(text.c_str(), layer, object, sizeof(object), &error,
                                             &position) != FALSE;
    if (result.ok) result.object = object;
    result.error = error ? error : "(null)";
    result.position = position;
    return result;
}

std::string Format(const std::string& text, WINDIVERT_LAYER layer) {
    char buffer[8192];
    if (!WinDivertHelperFormatFilter(text.c_str(), layer, buffer, sizeof(buffer))) {
        return "(format failed " + std::to_string(GetLastError()) + ")";
    }
    return buffer;
}

struct AcceptRow {
    std::vector<std::string> spellings;  // all compile to the same program
    std::string formatted;
    std::string object;  // empty: not checked
    WINDIVERT_LAYER layer = WINDIVERT_LAYER_NETWORK;
};

void Accept(const AcceptRow& row) {
    SCOPED_TRACE("filter: " + row.spellings[0]);
    Compiled first = CompileText(row.spellings[0], row.layer);
    ASSERT_TRUE(first.ok) << first.error << " at " << first.position;
    EXPECT_EQ(first.error, "No error");
    EXPECT_EQ(first.position, 0u);
    if (!row.object.empty()) {
        EXPECT_EQ(first.object, row.object);
    }
    for (size_t i = 1; i < row.spellings.size(); ++i) {
        Compiled other = CompileText(row.spellings[i], row.layer);
        EXPECT_TRUE(other.ok) << row.spellings[i] << ": " << other.error;
        EXPECT_EQ(other.object, first.object) << "spelling: " << row.spellings[i];
    }
    EXPECT_EQ(Format(row.spellings[0], row.layer), row.formatted);
    // The formatted text and the object compile back to the same program.
    EXPECT_EQ(CompileText(row.formatted, row.layer).object, first.object);
    EXPECT_EQ(Format(first.object, row.layer), row.formatted);
}

TEST(FilterAccept, PublishedCompileAndFormatVectors) {
    for (const AcceptRow& row : std::vector<AcceptRow>{
             {{"true", "not false", "(tcp or true)", "true or tcp"}, "true", "@WinDiv_WX_WWWWAA"},
             {{"false", "not true", "zero", "tcp and false", "false and tcp", "zero != 0"},
              "false",
              "@WinDiv_WX_WWWWXX"},
             {{"tcp", "tcp == 1", "tcp = TRUE", "tcp != 0", "not not tcp", "tcp >= 1", "tcp > 0"},
              "tcp",
              "@WinDiv_WX_eXWWAX"},
             {{"not tcp", "!tcp", "tcp == 0", "tcp < 1", "tcp <= 0", "not tcp != 0"},
              "not tcp",
              "@WinDiv_WX_eWWWAX"},
             {{"tcp.DstPort == 80", "tcp.DstPort = 80", "tcp.DstPort == 0x50", "tcp.DstPort == 080",
               "not tcp.DstPort != 80", "tcp.DstPort == ::50"},
              "tcp.DstPort = 80",
              "@WinDiv_WX_1dWW2mAX"},
             {{"(tcp? udp: icmp)", "(tcp ? udp : icmp)"},
              "(tcp? udp: icmp)",
              "@WinDiv_WZ_eXWWLXLY_fXWWAX_dXWWAX"},
             {{"ip.SrcAddr == 10.0.0.1", "ip.SrcAddr == 0xFFFF0A000001",
               "ip.SrcAddr == ::ffff:10.0.0.1"},
              "ip.SrcAddr = 10.0.0.1",
              "@WinDiv_WX_rWW50000XAX"},
             {{"packet[0] == 0x45", "packet[0b] == 69", "packet[0x0] == 0x45"},
              "packet[0b] = 0x45",
              "@WinDiv_WX_2dWW2b1VV=AX"},
             {{"tcp.Payload32[-1] == 1", "tcp.Payload32[-4b] == 1"},
              "tcp.Payload32[-4b] = 0x1",
              ""},
             {{"timestamp == -5"}, "timestamp = -5", "@WinDiv_WX_2nWXbWAX"},
             {{"event = 1"}, "event = 1", "@WinDiv_WX_2cWWXAX"},
             {{"localAddr == 1.2.3.4 and localPort == 80",
               "localAddr == ::ffff:1.2.3.4 && localPort == 80"},
              "localAddr = 1.2.3.4 and localPort = 80",
              "@WinDiv_WY_1zWWG40Oa1VV=WWLXX_1=WW2mAX"},
             {{"outbound and !loopback and (tcp.DstPort == 80 or udp.DstPort == 53)",
               "outbound && not loopback && (tcp.DstPort == 80 || udp.DstPort == 53)"},
              "outbound and not loopback and (tcp.DstPort = 80 or udp.DstPort = 53)",
              "@WinDiv_Wa_YXWWLXX_1wWWWLYX_1dWW2mALZ_1sWW1rAX"},
             {{"priority == -5 and layer == FLOW", "priority == -5 and layer == 2"},
              "priority = -5 and layer = FLOW",
              "@WinDiv_WY_2bWXbLXX_2aWWYAX",
              WINDIVERT_LAYER_REFLECT},
         }) {
        Accept(row);
    }
}

TEST(FilterAccept, FoldingAndNormalisation) {
    for (const AcceptRow& row : std::vector<AcceptRow>{
             // Always true when the header exists: "header present".
             {{"tcp.DstPort <= 65535", "tcp.DstPort >= 0", "not tcp.DstPort > 65535"}, "tcp", ""},
             {{"ip.SrcAddr", "ip.SrcAddr >= 0.0.0.0"}, "ip", ""},
             // Always false in range: constant false (never "header absent").
             {{"tcp.DstPort > 65535", "tcp.HdrLength > 15", "tcp.Syn > 1", "ip.TTL < 0"},
              "false",
              ""},
             {{"length >= 20", "length", "ifIdx <= 4294967295", "random8 <= 255"}, "true", ""},
             {{"length < 20", "not length"}, "false", ""},
             // One-bit fields: every spelling of "set" and of "clear".
             {{"tcp.Syn", "tcp.Syn == 1", "tcp.Syn = TRUE", "tcp.Syn != 0", "tcp.Syn > 0",
               "tcp.Syn >= 1", "!tcp.Syn == 0"},
              "tcp.Syn",
              ""},
             {{"not tcp.Syn", "tcp.Syn == 0", "tcp.Syn != 1", "tcp.Syn < 1", "!tcp.Syn"},
              "not tcp.Syn",
              ""},
             {{"impostor == TRUE", "impostor"}, "impostor", ""},
             // Array tests are kept even when always true: the index may lie outside.
             {{"packet[1000] <= 255"}, "packet[1000b] <= 0xff", ""},
             {{"tcp.Payload[5] >= 0"}, "tcp.Payload[5b] >= 0x0", ""},
             {{"udp.Payload16[10] > 65535"}, "false", ""},
             {{"tcp and tcp.Syn and tcp.Syn"}, "tcp and tcp.Syn and tcp.Syn", ""},
             {{"(tcp and udp? true: false) or ip", "(tcp and udp) or ip", "tcp and udp or ip"},
              "(tcp and udp) or ip",
              ""},
             {{"tcp or udp and icmp", "tcp or (udp and icmp)"}, "tcp or (udp and icmp)", ""},
             {{"tcp.DstPort == 80 && tcp.SrcPort != 0 || udp"},
              "(tcp.DstPort = 80 and tcp.SrcPort != 0) or udp",
              ""},
             {{"(tcp? false: true)"}, "(tcp? false: true)", ""},
             {{"(tcp? true: udp)", "tcp or udp"}, "tcp or udp", ""},
             {{"(tcp? udp: false)", "tcp and udp"}, "tcp and udp", ""},
             {{"((tcp or udp) and icmp) or ip"}, "((tcp or udp) and icmp) or ip", ""},
             {{"tcp.DstPort == FLOW", "tcp.DstPort == 2"}, "tcp.DstPort = 2", ""},
             // Inside a hex index `b` is a digit: 0x10b is byte 267.
             {{"packet[0x10b] == 1", "packet[267b] == 1"}, "packet[267b] = 0x1", ""},
             {{"ip.Id == 4660", "ip.Id == 0x1234"}, "ip.Id = 0x1234", ""},
             {{"ipv6.SrcAddr == 2001:db8::1"}, "ipv6.SrcAddr = 2001:db8::1", ""},
             {{"remoteAddr == 12345"}, "remoteAddr = ::3039", ""},
             {{"event == PACKET"}, "event = PACKET", ""},
             {{"timestamp >= -0"}, "timestamp >= -0", ""},
         }) {
        Accept(row);
    }
}

TEST(FilterAccept, FlowLayerAndEventNames) {
    for (const AcceptRow& row : std::vector<AcceptRow>{
             {{"event == ESTABLISHED", "event == 1"},
              "event = ESTABLISHED",
              "",
              WINDIVERT_LAYER_FLOW},
             {{kFlowFilter},
              "(localAddr = 10.0.0.5 or localAddr = 10.0.0.5) and localPort = 22",
              "",
              WINDIVERT_LAYER_FLOW},
             {{kDefaultFlowFilter, "protocol == TCP"}, "protocol = 6", "", WINDIVERT_LAYER_FLOW},
             {{"event == CLOSE"}, "event = CLOSE", "@WinDiv_WX_2cWWdAX", WINDIVERT_LAYER_SOCKET},
             {{"event == CLOSE"}, "event = CLOSE", "@WinDiv_WX_2cWWfAX", WINDIVERT_LAYER_REFLECT},
         }) {
        Accept(row);
    }
}

TEST(FilterAccept, EveryEngineFilterCompiles) {
    for (const std::string& text :
         {std::string(kMainFilter), std::string(kSniffFilter), LaneFilter(kHeaderClause),
          LaneFilter(kPayloadClause), HeaderLaneFilter(10), std::string(kProtocolValidationFilter),
          StrictProtocolValidationFilter(), std::string(kInvalidUdpFilter),
          InvalidUdpRejectEmptyFilter(), std::string(kInvalidIcmpFilter),
          std::string(kUdpAmplificationFilter), std::string(kSynAckFilter), SynAckFilter(150)}) {
        SCOPED_TRACE(text);
        filter::CompileResult result = filter::Compile(text.c_str(), WINDIVERT_LAYER_NETWORK);
        ASSERT_NE(result.program, nullptr) << result.error << " at " << result.errorPosition;
        EXPECT_FALSE(filter::NeverMatches(*result.program));
        EXPECT_LE(filter::TestCount(*result.program), 255u);
    }
    EXPECT_EQ(filter::TestCount(
                  *filter::Compile(SynAckFilter(150).c_str(), WINDIVERT_LAYER_NETWORK).program),
              154u);
    EXPECT_TRUE(filter::NeverMatches(*filter::Compile("false", WINDIVERT_LAYER_NETWORK).program));
}

// ---- Reject table -----------------------------------------------------------------------

struct RejectRow {
    std::string filter;
    std::string error;
    UINT position;
    WINDIVERT_LAYER layer = WINDIVERT_LAYER_NETWORK;
};

const char* const kBad = "Filter expression contains a bad token";
const char* const kBadLayer = "Filter expression contains a bad token for layer";
const char* const kParse = "Filter expression parse error";
const char* const kIndex = "Filter expression array index is out-of-bounds";
const char* const kTooLong = "Filter expression too long";
const char* const kRange = "Filter expression constant is out-of-range";

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

void Reject(const RejectRow& row) {
    SCOPED_TRACE("filter: " + row.filter.substr(0, 80));
    Compiled c = CompileText(row.filter, row.layer);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, row.error);
    EXPECT_EQ(c.position, row.position);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The runtime's compiler reports the same.
    filter::CompileResult runtime = filter::Compile(row.filter.c_str(), row.layer);
    EXPECT_EQ(runtime.program, nullptr);
    EXPECT_EQ(std::string(runtime.error), row.error);
    EXPECT_EQ(runtime.errorPosition, row.position);
}

TEST(FilterReject, PublishedErrorStringsAndPositions) {
    std::string maxValue = "tcp.DstPort < 0x1" + std::string(32, '0');
    std::string ors;
    for (int i = 0; i < 257; ++i)
        ors += (i ? " or tcp.DstPort == " : "tcp.DstPort == ") + std::to_string(i);
    for (const RejectRow& row : std::vector<RejectRow>{
             {"", kParse, 0},
             {"  ", kParse, 2},
             {"TRUE", kParse, 0},
             {"Tcp", kBad, 0},
             {"tcp.dstport == 80", kBad, 0},
             {std::string(55, 'a'), kBad, 0},
             {"tcp &", kBad, 5},
             {"tcp | udp", kBad, 5},
             {"tcp and", kParse, 7},
             {"or tcp", kParse, 0},
             {"not", kParse, 3},
             {"tcp and not", kParse, 11},
             {"not (tcp)", kParse, 4},
             {"()", kParse, 1},
             {"((tcp)", kParse, 6},
             {"tcp)", kParse, 3},
             {"tcp ? udp : icmp", kParse, 4},
             {"(tcp? udp)", kParse, 9},
             {"tcp.DstPort => 80", kParse, 13},
             {"tcp.DstPort ! = 80", kParse, 12},
             {"tcp.DstPort == 0X50", kBad, 15},
             {"tcp.DstPort == 1.2", kBad, 15},
             {"tcp.DstPort == 80and udp", kBad, 15},
             {"tcp.DstPort == 80 andudp", kBad, 18},
             {"ip.DstAddr == 1.2.3.256", kBad, 14},
             {maxValue, kBad, 14},
             {"event == ESTABLISHED", kParse, 9},
             {"processId == 4", kBadLayer, 0},
             {"priority == -5", kBadLayer, 0},
             {"layer == NETWORK", kBadLayer, 0},
             {"ifIdx == 1", kBadLayer, 0, WINDIVERT_LAYER_FLOW},
             {"ip", kBadLayer, 0, WINDIVERT_LAYER_REFLECT},
             {"outbound", kBadLayer, 0, WINDIVERT_LAYER_NETWORK_FORWARD},
             {"event == CLOSE", kParse, 9, WINDIVERT_LAYER_FLOW},
             {"tcp.Payload", kParse, 11},
             {"tcp.Payload[1", kParse, 13},
             {"tcp.Payload[]", kParse, 12},
             {"packet[70000] == 1", kIndex, 7},
             {"packet[65535] == 1", kIndex, 12},
             {"packet32[-1b] == 1", kIndex, 12},
             {"packet[-0] == 1", kIndex, 9},
             {"packet16[32767] == 1", kIndex, 14},
             {"packet16[-1b] == 1", kIndex, 12},
             {"tcp :: udp", kParse, 4},
             {"ip.SrcAddr == 10.0.0.1:", kParse, 22},
             {ors, kTooLong, 0},
             {Repeat("not ", 1277) + "tcp", kTooLong, 5111},
             {Repeat("(", 341) + "tcp" + Repeat(")", 341), kParse, 341},
             {"random8 == random8", kParse, 11},
             {"udp.Payload16[-1b] == 0", kIndex, 17},
             // Stray characters are reported just after them.
             {"tcp # udp", kBad, 5},
             {"\"tcp\"", kBad, 1},
             {"tcp and $", kBad, 9},
             {"tcp\x80", kBad, 4},
             // "::" must stand for at least one group; text after the 8th group is not ignored.
             {"ipv6.SrcAddr == 1:2:3:4:5:6:7:8:9", kBad, 16},
             {"ipv6.SrcAddr == 1::2:3:4:5:6:7:8", kBad, 16},
             {"ipv6.SrcAddr == 64:ff9b::1.2.3.4", kBad, 16},
             {"true == 1", kParse, 5},
         }) {
        Reject(row);
    }
}

TEST(FilterReject, SoundRulesWhereThePublishedCompilerWasWrong) {
    for (const RejectRow& row : std::vector<RejectRow>{
             // A constant outside the field's values is an error at the constant.
             {"tcp.DstPort == 70000", kRange, 15},
             {"tcp.DstPort > -1", kRange, 14},
             {"tcp.Syn == 2", kRange, 11},
             {"icmp.Code == 0x777", kRange, 13},
             {"ip.SrcAddr == 167772161", kRange, 14},
             {"ip.TOS == 300", kRange, 10},
             {"tcp.SeqNum == 0x15338ccc2", kRange, 14},
             {"packet32[0] == 0x100000000", kRange, 15},
             {"packet[0] == 256", kRange, 13},
             {"zero == -0", kRange, 8},
             {"ifIdx == 0x100000000", kRange, 9},
             {"length == 10", kRange, 10},
             {"tcp and udp.DstPort == 53 or tcp.DstPort == 99999", kRange, 44},
             {"priority == -30001", kRange, 12, WINDIVERT_LAYER_REFLECT},
             {"timestamp == 0x8000000000000000", kRange, 13},
             // A stand-alone `b` is not a byte suffix (only "10b" is).
             {"tcp b", kParse, 4},
             {"tcp.DstPort == 10 b", kParse, 18},
             {"packet32[1 b] == 1", kParse, 11},
             {"tcp.DstPort == 10b", kParse, 17},
             {"b", kParse, 0},
             // A conditional whose condition is cut short is a parse error, never a crash.
             {"(tcp and ? tcp : udp)", kParse, 9},
             {"(not ? tcp : udp)", kParse, 5},
             {"(tcp.DstPort == ? tcp : udp)", kParse, 16},
             {"((tcp and) ? udp : icmp)", kParse, 9},
             {"(tcp.Syn == ? 1 : 0)", kParse, 12},
         }) {
        Reject(row);
    }
}

TEST(FilterAccept, SuccessLeavesTheLastErrorAlone) {
    SetLastError(4242);
    ASSERT_TRUE(WinDivertHelperCompileFilter("ip.SrcAddr == 10.0.0.1 or ipv6.DstAddr == ::1",
                                             WINDIVERT_LAYER_NETWORK, nullptr, 0, nullptr,
                                             nullptr));
    EXPECT_EQ(GetLastError(), 4242u);
    char buffer[128];
    ASSERT_TRUE(WinDivertHelperFormatFilter("localAddr == fe80::1", WINDIVERT_LAYER_NETWORK, buffer,
                                            sizeof(buffer)));
    EXPECT_EQ(GetLastError(), 4242u);
}

TEST(FilterReject, NullFilterAndBadLayerLeaveErrorOutputsAlone) {
    const char* error = "untouched";
    UINT position = 77;
    SetLastError(0);
    EXPECT_FALSE(WinDivertHelperCompileFilter(nullptr, WINDIVERT_LAYER_NETWORK, nullptr, 0, &error,
                                              &position));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_STREQ(error, "untouched");
    EXPECT_EQ(position, 77u);
    EXPECT_FALSE(WinDivertHelperCompileFilter("tcp", static_cast<WINDIVERT_LAYER>(5), nullptr, 0,
                                              &error, &position));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- Open-time checks of the runtime compiler ----------------------------------------------

TEST(FilterOpenChecks, RuntimeRejectsWhatAHandleCannotRun) {
    // 255 tests open; 256 compile in the helper but do not open.
    std::string t255 = "tcp.DstPort == 0";
    for (int i = 1; i < 255; ++i)
        t255 += " or tcp.DstPort == " + std::to_string(i);
    std::string t256 = t255 + " or tcp.DstPort == 255";
    EXPECT_NE(filter::Compile(t255.c_str(), WINDIVERT_LAYER_NETWORK).program, nullptr);
    filter::CompileResult tooMany = filter::Compile(t256.c_str(), WINDIVERT_LAYER_NETWORK);
    EXPECT_EQ(tooMany.program, nullptr);
    EXPECT_STREQ(tooMany.error, kTooLong);
    EXPECT_TRUE(CompileText(t256, WINDIVERT_LAYER_NETWORK).ok);

    // An event of another layer compiles in the helper but cannot be opened.
    EXPECT_TRUE(CompileText("event == 1", WINDIVERT_LAYER_NETWORK).ok);
    EXPECT_STREQ(filter::Compile("event == 1", WINDIVERT_LAYER_NETWORK).error, kRange);
    EXPECT_NE(filter::Compile("event == 1", WINDIVERT_LAYER_FLOW).program, nullptr);
    EXPECT_NE(filter::Compile("event == PACKET", WINDIVERT_LAYER_NETWORK).program, nullptr);

    // "-0" only exists for the signed fields, and no handle accepts it.
    EXPECT_TRUE(CompileText("timestamp < -0", WINDIVERT_LAYER_NETWORK).ok);
    EXPECT_STREQ(filter::Compile("timestamp < -0", WINDIVERT_LAYER_NETWORK).error, kRange);

    // Objects are checked like texts.
    EXPECT_NE(filter::Compile("@WinDiv_WX_1dWW2mAX", WINDIVERT_LAYER_NETWORK).program, nullptr);
    EXPECT_STREQ(filter::Compile("@WinDiv_WX_1dWW2mAX", WINDIVERT_LAYER_FLOW).error, kBadLayer);
    // tcp.DstPort == 70000 written directly as an object.
    EXPECT_STREQ(filter::Compile("@WinDiv_WX_1dWW24BmAX", WINDIVERT_LAYER_NETWORK).error, kRange);
    EXPECT_STREQ(filter::Compile("@WinDiv_WX_1dWW2mAZ", WINDIVERT_LAYER_NETWORK).error,
                 "Filter object is invalid");
}

}  // namespace
}  // namespace divert::testing
