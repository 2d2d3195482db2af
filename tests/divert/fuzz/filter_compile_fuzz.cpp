// libFuzzer target: arbitrary text (or object string) through the filter compiler at every
// layer. Checks, beyond "no crash": an accepted filter's object decodes to the same
// program, and its formatted text compiles back to the same program (or, for hand-made
// objects, to one that gives the same answers on a set of packets).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "divert/filter/Compiler.h"
#include "divert/filter/PacketInfo.h"
#include "divert/filter/Program.h"
#include "tests/divert/PacketBuilder.h"

namespace {

using namespace divert::filter;
using divert::testing::Bytes;
using divert::testing::PacketBuilder;

void Require(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "invariant failed: %s\n", what);
        abort();
    }
}

const std::vector<Bytes>& Probes() {
    static const std::vector<Bytes> probes = {
        PacketBuilder::Ipv4("10.0.0.2", "1.2.3.4").Tcp(40000, 80).Syn().Seq(1).Window(512).Build(),
        PacketBuilder::Ipv4("10.0.0.2", "1.2.3.4").Tcp(0, 443).Fin().Syn().Payload("GET /").Build(),
        PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Udp(5353, 53).Payload("abcd").Build(),
        PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Icmp(8, 1, 7).Ttl(1).Build(),
        PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Protocol(17).FragmentOffset(9).Zeros(9).Build(),
        PacketBuilder::Ipv6("2001:db8::1", "::2").Tcp(443, 50000).Ack().Payload("hello").Build(),
        PacketBuilder::Ipv6("::1", "::2").Icmp(128, 0, 1).FlowLabel(0x12345).Build(),
    };
    return probes;
}

// Same answers on every probe packet, both directions.
bool SameAnswers(const Program& a, const Program& b) {
    for (const Bytes& packet : Probes()) {
        PacketInfo info;
        if (!ParsePacketInfo(packet.data(), static_cast<UINT>(packet.size()), info)) continue;
        for (int outbound = 0; outbound < 2; ++outbound) {
            WINDIVERT_ADDRESS address{};
            address.Layer = a.layer;
            address.Outbound = outbound;
            address.IPv6 = (packet[0] >> 4) == 6;
            address.Timestamp = 77;
            const PacketInfo* p = a.layer <= WINDIVERT_LAYER_NETWORK_FORWARD ? &info : nullptr;
            if (Evaluate(a, p, address) != Evaluate(b, p, address)) return false;
        }
    }
    return true;
}

int MaxDepth(const std::string& text) {
    int depth = 0, max = 0;
    for (char c : text) {
        if (c == '(') max = std::max(max, ++depth);
        if (c == ')') --depth;
    }
    return max;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const auto layer = static_cast<WINDIVERT_LAYER>(data[0] % 5);
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.c_str();  // the helpers see a C string

    CompiledTests compiled = CompileTests(text.c_str(), layer, CompileMode::Helper);
    CompiledTests forOpen = CompileTests(text.c_str(), layer, CompileMode::Open);
    if (compiled.error) {
        Require(compiled.error.position <= text.size(), "error position inside the text");
        Require(static_cast<bool>(forOpen.error), "open is stricter than the helper");
        return 0;
    }
    Require(ValidStructure(compiled.tests), "valid structure");

    std::string object = EncodeObject(compiled.tests);
    std::vector<Test> decoded;
    Require(DecodeObject(object.c_str(), decoded) && decoded == compiled.tests,
            "object round trip");

    auto program = BuildProgram(compiled.tests, layer);
    if (!program) {
        Require(text[0] == '@', "texts only name fields of their layer");
        return 0;
    }

    std::string formatted;
    if (!FormatProgram(compiled.tests, layer, 1 << 16, formatted)) return 0;
    CompiledTests again = CompileTests(formatted.c_str(), layer, CompileMode::Helper);
    if (again.error) {
        fprintf(stderr, "formatted: %s\nerror: %s at %u\n", formatted.c_str(), again.error.message,
                again.error.position);
        // Decompiled hand-made objects can nest or repeat beyond the text limits, and can
        // hold constants no text may write.
        Require(again.error.message == errors::kTooLong ||
                    (text[0] == '@' && again.error.message == errors::kConstantOutOfRange) ||
                    (again.error.message == errors::kParse &&
                     MaxDepth(formatted) > static_cast<int>(kMaxDepth)),
                "formatted text compiles");
        return 0;
    }
    if (text[0] != '@') {
        Require(again.tests == compiled.tests, "formatted text compiles to the same program");
    } else {
        auto reparsed = BuildProgram(again.tests, layer);
        Require(reparsed && SameAnswers(*program, *reparsed), "formatted object is equivalent");
    }
    return 0;
}
