// A compiled filter: the test list (the object form, used for objects and formatting) and
// the same tests resolved for evaluation. Immutable once built; safe to evaluate from
// many threads.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "divert/filter/Compiler.h"
#include "divert/filter/Filter.h"

namespace divert::filter {

// Where a test's value comes from. Chosen when the program is built, from the field and
// the layer, so that evaluation is one switch per test.
enum class Access : uint8_t {
    // The address record
    Zero,
    Event,
    Timestamp,  // signed
    Outbound,
    Inbound,
    Loopback,
    Impostor,
    IfIdx,
    SubIfIdx,
    FlowProcessId,
    ReflectProcessId,
    EndpointId,
    ParentEndpointId,
    ReflectLayer,
    ReflectPriority,  // signed
    FlowProtocol,
    FlowLocalAddr,   // 128-bit
    FlowRemoteAddr,  // 128-bit
    FlowLocalPort,
    FlowRemotePort,
    FlowIp,
    FlowIpv6,
    FlowIcmp,
    FlowIcmpv6,
    FlowTcp,
    FlowUdp,
    // The packet
    HeaderPresent,  // slot
    HeaderByte,     // slot, offset, shift, mask
    HeaderWord16,   // slot, offset, shift, mask
    HeaderWord32,   // slot, offset, mask
    HeaderBits,     // slot, offset: (byte & mask) == lo, for runs of one-bit tests
    Ipv4Address,    // slot, offset: ::ffff:a.b.c.d
    Ipv6Address,    // slot, offset; 128-bit
    PayloadLength,  // slot: the transport header that must be present
    Fragment,
    Length,
    Random8,
    Random16,
    Random32,
    Protocol,
    LocalAddr,   // 128-bit
    RemoteAddr,  // 128-bit
    LocalPort,
    RemotePort,
    PacketWord,   // size, index
    PayloadWord,  // slot, size, index
};

// One test, ready to run: fetch the value, then `((value - lo) <= span) != invert`
// (unsigned arithmetic; signed fields are biased by 2^63 first, 128-bit fields use the
// High halves too). A failed fetch (absent header, index outside the packet) is false.
//
// Steps are indexed like the tests they come from, but a step may do the work of several
// tests: a run of one-bit tests on the same header byte joined by `and` (the TCP flag
// terms of the engine's filters) becomes one HeaderBits step that jumps where the last
// test of the run would. The tests it covers keep their own steps for other entries.
struct Step {
    Access access = Access::Zero;
    uint8_t slot = 0;
    uint8_t offset = 0;
    uint8_t size = 0;
    uint8_t shift = 0;
    bool invert = false;
    uint16_t success = kAccept;
    uint16_t failure = kReject;
    uint32_t mask = 0;
    int32_t index = 0;
    uint64_t lo = 0, span = 0;
    uint64_t loHigh = 0, spanHigh = 0;
};

class Program {
  public:
    WINDIVERT_LAYER layer = WINDIVERT_LAYER_NETWORK;
    std::vector<Test> tests;
    std::vector<Step> steps;
    bool needsPacket = false;  // some test reads the packet
    bool neverMatches = false;
};

// Resolves `tests` for evaluation at `layer`. Null when a test names a field the layer
// does not have (possible only for decoded objects).
std::shared_ptr<const Program> BuildProgram(std::vector<Test> tests, WINDIVERT_LAYER layer);

}  // namespace divert::filter
