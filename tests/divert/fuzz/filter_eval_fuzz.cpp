// libFuzzer target: a filter and a packet from the input, evaluated through the runtime
// path, through WinDivertHelperEvalFilter and test by test (all three must agree), plus the packet
// helpers on the same bytes (parse, hash, checksums, TTL decrement) under the sanitizers.
//
// Input: [layer/direction byte][filter length byte][filter text][packet bytes].
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "divert/filter/Filter.h"
#include "divert/filter/PacketInfo.h"
#include "tests/divert/ReferenceEval.h"
#include "windivert.h"

using namespace divert::filter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t control = data[0];
    const size_t filterLength = std::min<size_t>(data[1], size - 2);
    std::string filter(reinterpret_cast<const char*>(data + 2), filterLength);
    filter = filter.c_str();
    std::vector<uint8_t> packet(data + 2 + filterLength, data + size);

    const bool flow = (control & 0x80) != 0;
    const WINDIVERT_LAYER layer = flow ? WINDIVERT_LAYER_FLOW : WINDIVERT_LAYER_NETWORK;
    WINDIVERT_ADDRESS address{};
    address.Layer = layer;
    address.Outbound = control & 1;
    address.Loopback = (control >> 1) & 1;
    address.Timestamp = static_cast<INT64>(uint64_t{control} * 0x0101010101010101ull);
    const UINT length = static_cast<UINT>(packet.size());

    PacketInfo info;
    const bool parsed = ParsePacketInfo(packet.data(), length, info);
    if (flow) {
        // Reuse the packet bytes as the flow record.
        if (!packet.empty()) {
            std::memcpy(&address.Flow, packet.data(),
                        std::min(packet.size(), sizeof(address.Flow)));
        }
        address.IPv6 = (control >> 2) & 1;
    } else {
        address.IPv6 = parsed && info.header[kSlotIpv6] != nullptr;
    }

    CompileResult compiled = Compile(filter.c_str(), layer);
    if (compiled.program && (flow || parsed)) {
        bool runtime = Evaluate(*compiled.program, flow ? nullptr : &info, address);
        BOOL helper = WinDivertHelperEvalFilter(filter.c_str(), flow ? nullptr : packet.data(),
                                                length, &address);
        bool reference =
            divert::testing::ReferenceEvaluate(*compiled.program, flow ? nullptr : &info, address);
        if (runtime != (helper != FALSE) || runtime != reference) {
            fprintf(stderr, "evaluators disagree on \"%s\": %d %d %d\n", filter.c_str(), runtime,
                    helper, reference);
            abort();
        }
    }

    // The packet helpers on the same bytes.
    std::vector<uint8_t> copy = packet;
    WinDivertHelperHashPacket(copy.data(), length, control);
    PVOID next = nullptr;
    UINT nextLength = 0;
    const void* p = copy.data();
    UINT left = length;
    int guard = 0;
    while (WinDivertHelperParsePacket(p, left, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, &next, &nextLength) &&
           ++guard < 300) {
        p = next;
        left = nextLength;
    }
    WINDIVERT_ADDRESS checksums{};
    if (WinDivertHelperCalcChecksums(copy.data(), length, &checksums, control & 0x1F) &&
        !(control & 0x1F) && parsed && !info.Truncated() && !info.fragment) {
        // A second pass over correct checksums changes nothing.
        std::vector<uint8_t> again = copy;
        WinDivertHelperCalcChecksums(again.data(), length, nullptr, 0);
        if (again != copy) abort();
    }
    WinDivertHelperDecrementTTL(copy.data(), length);
    return 0;
}
