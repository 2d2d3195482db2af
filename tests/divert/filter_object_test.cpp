// Object strings and formatting: encoder/decoder round trips for every field, rejection of
// malformed objects, buffer handling of CompileFilter and FormatFilter, and decompiling
// programs that no filter text produces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "divert/filter/Compiler.h"
#include "divert/filter/Filter.h"
#include "divert/filter/PacketInfo.h"
#include "tests/divert/EngineFilters.h"
#include "tests/divert/PacketBuilder.h"
#include "windivert.h"

namespace divert::testing {
namespace {

using namespace divert::filter;

std::string ObjectOf(const std::string& text, WINDIVERT_LAYER layer = WINDIVERT_LAYER_NETWORK) {
    char object[8192];
    if (!WinDivertHelperCompileFilter(text.c_str(), layer, object, sizeof(object), nullptr,
                                      nullptr)) {
        return "(error)";
    }
    return object;
}

std::string FormatOf(const std::string& text, WINDIVERT_LAYER layer = WINDIVERT_LAYER_NETWORK) {
    char buffer[8192];
    if (!WinDivertHelperFormatFilter(text.c_str(), layer, buffer, sizeof(buffer))) {
        return "(error " + std::to_string(GetLastError()) + ")";
    }
    return buffer;
}

TEST(ObjectFormat, EveryFieldRoundTripsThroughTheEncoder) {
    for (unsigned id = 0; id < kFieldCount; ++id) {
        const FieldInfo& field = Field(id);
        SCOPED_TRACE(field.name);
        for (Op op : {kEq, kNeq, kLt, kLeq, kGt, kGeq}) {
            filter::Test test;
            test.field = static_cast<uint8_t>(id);
            test.op = op;
            test.value = field.max;  // the widest value the field takes
            if (field.arrayWord != 0) test.index = op % 2 ? -12 : 65531;
            test.success = kAccept;
            test.failure = kReject;
            std::vector<filter::Test> tests{test};
            std::string encoded = EncodeObject(tests);
            std::vector<filter::Test> decoded;
            ASSERT_TRUE(DecodeObject(encoded.c_str(), decoded)) << encoded;
            EXPECT_EQ(decoded, tests) << encoded;
            test.value = field.min;
            tests = {test};
            ASSERT_TRUE(DecodeObject(EncodeObject(tests).c_str(), decoded));
            EXPECT_EQ(decoded, tests);
        }
    }
}

TEST(ObjectFormat, MalformedObjectsAreRejected) {
    for (const char* object : {
             "@WinDiv_",
             "@WinDiv_WX",                 // no test
             "@WinDiv_XX_eXWWAX",          // version 1
             "@WinDiv_WW",                 // zero tests
             "@WinDiv_WY_eXWWAX",          // two announced, one present
             "@WinDiv_WX_eXWWAXjunk",      // trailing garbage
             "@WinDiv_WX_eXWWAL",          // label without number
             "@WinDiv_WX_eXWWLWX",         // link to itself
             "@WinDiv_WY_eXWWLaX_fXWWAX",  // link past the end
             "@WinDiv_WX_2sXWWAX",         // field 86
             "@WinDiv_WX_eeWWAX",          // op 8
             "@WinDiv_WX_eXYWAX",          // neg 2
             "@WinDiv_WX_eXW4VVVVVWAX",    // value above 32 bits
             "@WinDiv_WX_eXW00000000WAX",  // eight digits
             "@WinDiv_WX_2fWW2b3VVxAX",    // packet32 at byte 65532: past 65535 - 4
             "@WinDiv_WX_2fWW2b1VVyAX",    // packet32 at -3b: less than a word
             "@WinDiv_WX_1dWW2m1VV=AX",    // an index on a scalar field
             "@windiv_WX_eXWWAX",          // prefix is case-sensitive
         }) {
        SCOPED_TRACE(object);
        const char* error = nullptr;
        UINT position = 99;
        SetLastError(0);
        EXPECT_FALSE(WinDivertHelperCompileFilter(object, WINDIVERT_LAYER_NETWORK, nullptr, 0,
                                                  &error, &position));
        EXPECT_STREQ(error, "Filter object is invalid");
        EXPECT_EQ(position, 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    // The extremes of the array offsets are accepted: packet[-65535], packet32[65531b].
    EXPECT_TRUE(WinDivertHelperCompileFilter("@WinDiv_WX_2dWW2bWAX", WINDIVERT_LAYER_NETWORK,
                                             nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(FormatOf("@WinDiv_WX_2dWW2bWAX"), "packet[-65535b] = 0x45");
    EXPECT_EQ(FormatOf("packet32[65531b] == 1"), "packet32[65531b] = 0x1");
}

TEST(ObjectFormat, CompileFilterReEmitsObjectsAndValidatesWithoutABuffer) {
    const std::string object = ObjectOf(kMainFilter);
    EXPECT_EQ(ObjectOf(object), object);
    // With no output buffer an object is only validated (the published DLL crashed here).
    const char* error = nullptr;
    EXPECT_TRUE(WinDivertHelperCompileFilter(object.c_str(), WINDIVERT_LAYER_NETWORK, nullptr, 0,
                                             &error, nullptr));
    EXPECT_STREQ(error, "No error");
    // The layer is not checked against a supplied object (Open does that).
    EXPECT_EQ(ObjectOf(object, WINDIVERT_LAYER_FLOW), object);
    EXPECT_EQ(FormatOf(object), FormatOf(kMainFilter));
}

TEST(ObjectFormat, ObjectBufferTooShort) {
    const std::string object = ObjectOf("tcp.DstPort == 80");
    ASSERT_EQ(object, "@WinDiv_WX_1dWW2mAX");
    char buffer[32];
    const char* error = nullptr;
    UINT position = 5;
    // Exactly the text without its NUL does not fit.
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_FALSE(WinDivertHelperCompileFilter("tcp.DstPort == 80", WINDIVERT_LAYER_NETWORK, buffer,
                                              static_cast<UINT>(object.size()), &error, &position));
    EXPECT_STREQ(error, "Filter object buffer is too short");
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buffer), object.substr(0, object.size() - 1));
    EXPECT_TRUE(WinDivertHelperCompileFilter("tcp.DstPort == 80", WINDIVERT_LAYER_NETWORK, buffer,
                                             static_cast<UINT>(object.size() + 1), &error,
                                             &position));
    EXPECT_EQ(std::string(buffer), object);
}

TEST(ObjectFormat, FormatFilterBufferAndArguments) {
    char buffer[64];
    ASSERT_TRUE(WinDivertHelperFormatFilter("tcp.Syn and !tcp.Ack", WINDIVERT_LAYER_NETWORK, buffer,
                                            sizeof(buffer)));
    EXPECT_STREQ(buffer, "tcp.Syn and not tcp.Ack");
    const UINT exact = static_cast<UINT>(std::strlen("tcp.Syn and not tcp.Ack"));
    EXPECT_FALSE(WinDivertHelperFormatFilter("tcp.Syn and !tcp.Ack", WINDIVERT_LAYER_NETWORK,
                                             buffer, exact));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(buffer, "tcp.Syn and not tcp.Ac");
    EXPECT_TRUE(WinDivertHelperFormatFilter("tcp.Syn and !tcp.Ack", WINDIVERT_LAYER_NETWORK, buffer,
                                            exact + 1));
    EXPECT_FALSE(WinDivertHelperFormatFilter("tcp and", WINDIVERT_LAYER_NETWORK, buffer, 64));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WinDivertHelperFormatFilter(nullptr, WINDIVERT_LAYER_NETWORK, buffer, 64));
    EXPECT_FALSE(WinDivertHelperFormatFilter("tcp", WINDIVERT_LAYER_NETWORK, nullptr, 64));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(ObjectFormat, EngineFiltersFormatToTextThatCompilesIdentically) {
    for (const std::string& text :
         {std::string(kMainFilter), std::string(kSniffFilter), HeaderLaneFilter(10),
          LaneFilter(kPayloadClause), std::string(kProtocolValidationFilter),
          StrictProtocolValidationFilter(), std::string(kInvalidUdpFilter),
          std::string(kInvalidIcmpFilter), std::string(kUdpAmplificationFilter),
          SynAckFilter(150)}) {
        SCOPED_TRACE(text.substr(0, 60));
        std::string formatted = FormatOf(text);
        EXPECT_EQ(ObjectOf(formatted), ObjectOf(text)) << formatted;
    }
    EXPECT_EQ(FormatOf(kSniffFilter),
              "outbound and ((tcp.Syn and not tcp.Ack) or (tcp.Syn and tcp.Ack) or (udp and "
              "(udp.DstPort = 53 or udp.DstPort = 123)))");
    // The always-false clause `tcp.HdrLength > 15` disappears; the rest stays.
    EXPECT_EQ(FormatOf(kProtocolValidationFilter).find("HdrLength > 15"), std::string::npos);
    EXPECT_NE(FormatOf(kProtocolValidationFilter).find("tcp.HdrLength < 5"), std::string::npos);
}

// Evaluates a filter (text or object) on a packet through the runtime path.
bool Matches(const std::string& filter, const Bytes& packet) {
    CompileResult compiled = Compile(filter.c_str(), WINDIVERT_LAYER_NETWORK);
    EXPECT_NE(compiled.program, nullptr) << filter << ": " << compiled.error;
    if (!compiled.program) return false;
    PacketInfo info;
    EXPECT_TRUE(ParsePacketInfo(packet.data(), static_cast<UINT>(packet.size()), info));
    return Evaluate(*compiled.program, &info, NetworkAddress(false));
}

TEST(ObjectFormat, UnstructuredProgramsFormatAsEquivalentConditionals) {
    // tcp ? (udp? accept : icmp) : (ip? icmp : reject) -- test 3 (icmp) is shared by both
    // branches, which no filter text produces.
    const std::string object = "@WinDiv_Wa_eXWWLXLY_fXWWALZ_bXWWLZX_dXWWAX";
    std::vector<filter::Test> tests;
    ASSERT_TRUE(DecodeObject(object.c_str(), tests));
    std::string text = FormatOf(object);
    EXPECT_EQ(text, "(tcp? (udp? true: icmp): ip and icmp)");
    for (const Bytes& packet : {PacketBuilder::Ipv4("1.1.1.1", "2.2.2.2").Tcp(1, 2).Build(),
                                PacketBuilder::Ipv4("1.1.1.1", "2.2.2.2").Udp(1, 2).Build(),
                                PacketBuilder::Ipv4("1.1.1.1", "2.2.2.2").Icmp(8, 0, 0).Build(),
                                PacketBuilder::Ipv6("::1", "::2").Icmp(128, 0, 0).Build()}) {
        EXPECT_EQ(Matches(text, packet), Matches(object, packet));
    }
}

TEST(ObjectFormat, NeverMatchesSeesThroughObjects) {
    // Both branches of the only test reject.
    CompileResult rejectAll = Compile("@WinDiv_WX_eXWWXX", WINDIVERT_LAYER_NETWORK);
    ASSERT_NE(rejectAll.program, nullptr);
    EXPECT_TRUE(NeverMatches(*rejectAll.program));
    CompileResult some = Compile("@WinDiv_WX_eXWWAX", WINDIVERT_LAYER_NETWORK);
    ASSERT_NE(some.program, nullptr);
    EXPECT_FALSE(NeverMatches(*some.program));
}

}  // namespace
}  // namespace divert::testing
