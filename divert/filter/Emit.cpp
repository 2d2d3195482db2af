// Emitter: turns the checked tree into the flat test list (short-circuit control flow with
// forward jumps only), validates test lists, and resolves them into evaluation steps.
#include <limits>

#include "divert/filter/Program.h"

namespace divert::filter {
namespace {

constexpr uint32_t kLabelAccept = 0xFFFFFFFEu;
constexpr uint32_t kLabelReject = 0xFFFFFFFFu;
constexpr uint32_t kNoTest = 0xFFFFFFFFu;

struct Links {
    uint32_t success = kLabelReject;
    uint32_t failure = kLabelReject;
};

class Emitter {
  public:
    explicit Emitter(const Ast& ast) : ast_(ast), number_(ast.nodes.size(), kNoTest) {
        // Tests are numbered in text order, which is their storage order.
        for (size_t i = 0; i < ast.nodes.size(); ++i) {
            if (ast.nodes[i].kind == NodeKind::Test) {
                number_[i] = static_cast<uint32_t>(testNodes_.size());
                testNodes_.push_back(static_cast<uint32_t>(i));
            }
        }
        links_.resize(testNodes_.size());
    }

    Error Run(std::vector<Test>& tests) {
        uint32_t entry = Entry(ast_.root, kLabelAccept, kLabelReject);
        tests.clear();
        if (entry == kLabelAccept || entry == kLabelReject) {
            // A constant filter is the single test `zero == 0` going straight to the answer.
            Test constant;
            constant.field = kZero;
            constant.op = kEq;
            constant.success = constant.failure = entry == kLabelAccept ? kAccept : kReject;
            tests.push_back(constant);
            return {};
        }

        // Keep the tests reachable from the entry; links only go forward, so one pass in
        // order finds them all.
        std::vector<uint32_t> renumber(testNodes_.size(), kNoTest);
        std::vector<bool> reachable(testNodes_.size(), false);
        reachable[entry] = true;
        uint32_t kept = 0;
        for (uint32_t t = 0; t < testNodes_.size(); ++t) {
            if (!reachable[t]) continue;
            renumber[t] = kept++;
            for (uint32_t next : {links_[t].success, links_[t].failure}) {
                if (next < testNodes_.size()) reachable[next] = true;
            }
        }
        if (kept > kMaxTests) return Error{errors::kTooLong, 0};

        auto label = [&](uint32_t next) -> uint16_t {
            if (next == kLabelAccept) return kAccept;
            if (next == kLabelReject) return kReject;
            return static_cast<uint16_t>(renumber[next]);
        };
        for (uint32_t t = 0; t < testNodes_.size(); ++t) {
            if (!reachable[t]) continue;
            const TestTerm& term = ast_.nodes[testNodes_[t]].test;
            Test test;
            test.field = term.field;
            test.op = term.op;
            test.value = term.value;
            test.index = term.index;
            test.success = label(links_[t].success);
            test.failure = label(links_[t].failure);
            tests.push_back(test);
        }
        return {};
    }

  private:
    // Links the tests of `node` so that it continues at `success` when true and at
    // `failure` when false; returns the label where its evaluation starts (a test, or one of
    // the two labels when the node is constant).
    uint32_t Entry(uint32_t node, uint32_t success, uint32_t failure) {
        const Node& n = ast_.nodes[node];
        switch (n.kind) {
            case NodeKind::True:
                return success;
            case NodeKind::False:
                return failure;
            case NodeKind::Test: {
                if (success == failure) return success;  // the outcome does not matter
                uint32_t t = number_[node];
                links_[t] = Links{success, failure};
                return t;
            }
            case NodeKind::And: {
                uint32_t next = success;
                for (size_t i = n.children.size(); i-- > 0;) {
                    next = Entry(n.children[i], next, failure);
                }
                return next;
            }
            case NodeKind::Or: {
                uint32_t next = failure;
                for (size_t i = n.children.size(); i-- > 0;) {
                    next = Entry(n.children[i], success, next);
                }
                return next;
            }
            case NodeKind::Cond: {
                uint32_t whenFalse = Entry(n.children[2], success, failure);
                uint32_t whenTrue = Entry(n.children[1], success, failure);
                return Entry(n.children[0], whenTrue, whenFalse);
            }
        }
        return failure;
    }

    const Ast& ast_;
    std::vector<uint32_t> number_;     // node -> test number
    std::vector<uint32_t> testNodes_;  // test number -> node
    std::vector<Links> links_;
};

// ---- Resolution into steps --------------------------------------------------------------

struct HeaderField {
    uint8_t field, slot, offset, size, shift;
    uint32_t mask;
};

// Scalar header fields read straight from the header bytes (network order).
constexpr HeaderField kHeaderFields[] = {
    {kIpHdrLength, kSlotIpv4, 0, 1, 0, 0x0F},
    {kIpTos, kSlotIpv4, 1, 1, 0, 0xFF},
    {kIpLength, kSlotIpv4, 2, 2, 0, 0xFFFF},
    {kIpId, kSlotIpv4, 4, 2, 0, 0xFFFF},
    {kIpDf, kSlotIpv4, 6, 1, 6, 1},
    {kIpMf, kSlotIpv4, 6, 1, 5, 1},
    {kIpFragOff, kSlotIpv4, 6, 2, 0, 0x1FFF},
    {kIpTtl, kSlotIpv4, 8, 1, 0, 0xFF},
    {kIpProtocol, kSlotIpv4, 9, 1, 0, 0xFF},
    {kIpChecksum, kSlotIpv4, 10, 2, 0, 0xFFFF},
    {kIpv6TrafficClass, kSlotIpv6, 0, 2, 4, 0xFF},
    // The 20-bit label (the published evaluator mixed up its bytes).
    {kIpv6FlowLabel, kSlotIpv6, 0, 4, 0, 0xFFFFF},
    {kIpv6Length, kSlotIpv6, 4, 2, 0, 0xFFFF},
    {kIpv6NextHdr, kSlotIpv6, 6, 1, 0, 0xFF},
    {kIpv6HopLimit, kSlotIpv6, 7, 1, 0, 0xFF},
    {kIcmpType, kSlotIcmp, 0, 1, 0, 0xFF},
    {kIcmpCode, kSlotIcmp, 1, 1, 0, 0xFF},
    {kIcmpChecksum, kSlotIcmp, 2, 2, 0, 0xFFFF},
    {kIcmpBody, kSlotIcmp, 4, 4, 0, 0xFFFFFFFF},
    {kIcmpv6Type, kSlotIcmpv6, 0, 1, 0, 0xFF},
    {kIcmpv6Code, kSlotIcmpv6, 1, 1, 0, 0xFF},
    {kIcmpv6Checksum, kSlotIcmpv6, 2, 2, 0, 0xFFFF},
    {kIcmpv6Body, kSlotIcmpv6, 4, 4, 0, 0xFFFFFFFF},
    {kTcpSrcPort, kSlotTcp, 0, 2, 0, 0xFFFF},
    {kTcpDstPort, kSlotTcp, 2, 2, 0, 0xFFFF},
    {kTcpSeqNum, kSlotTcp, 4, 4, 0, 0xFFFFFFFF},
    {kTcpAckNum, kSlotTcp, 8, 4, 0, 0xFFFFFFFF},
    {kTcpHdrLength, kSlotTcp, 12, 1, 4, 0x0F},
    {kTcpUrg, kSlotTcp, 13, 1, 5, 1},
    {kTcpAck, kSlotTcp, 13, 1, 4, 1},
    {kTcpPsh, kSlotTcp, 13, 1, 3, 1},
    {kTcpRst, kSlotTcp, 13, 1, 2, 1},
    {kTcpSyn, kSlotTcp, 13, 1, 1, 1},
    {kTcpFin, kSlotTcp, 13, 1, 0, 1},
    {kTcpWindow, kSlotTcp, 14, 2, 0, 0xFFFF},
    {kTcpChecksum, kSlotTcp, 16, 2, 0, 0xFFFF},
    {kTcpUrgPtr, kSlotTcp, 18, 2, 0, 0xFFFF},
    {kUdpSrcPort, kSlotUdp, 0, 2, 0, 0xFFFF},
    {kUdpDstPort, kSlotUdp, 2, 2, 0, 0xFFFF},
    {kUdpLength, kSlotUdp, 4, 2, 0, 0xFFFF},
    {kUdpChecksum, kSlotUdp, 6, 2, 0, 0xFFFF},
};

using i128 = __int128;

enum class Domain { Unsigned64, Signed64, Unsigned128 };

bool Resolve(const Test& test, WINDIVERT_LAYER layer, Step& step, Domain& domain) {
    const bool packetLayer =
        layer == WINDIVERT_LAYER_NETWORK || layer == WINDIVERT_LAYER_NETWORK_FORWARD;
    domain = Domain::Unsigned64;
    const FieldInfo& info = Field(test.field);
    if (info.arrayWord != 0) {
        step.size = info.arrayWord;
        step.index = test.index;
        if (info.header == kNoHeader) {
            step.access = Access::PacketWord;
        } else {
            step.access = Access::PayloadWord;
            step.slot = info.header;
        }
        return true;
    }
    for (const HeaderField& h : kHeaderFields) {
        if (h.field != test.field) continue;
        step.access = h.size == 1   ? Access::HeaderByte
                      : h.size == 2 ? Access::HeaderWord16
                                    : Access::HeaderWord32;
        step.slot = h.slot;
        step.offset = h.offset;
        step.size = h.size;
        step.shift = h.shift;
        step.mask = h.mask;
        return true;
    }
    auto pick = [&](Access packet, Access flow) { step.access = packetLayer ? packet : flow; };
    switch (test.field) {
        case kZero:
            step.access = Access::Zero;
            return true;
        case kEvent:
            step.access = Access::Event;
            return true;
        case kTimestamp:
            step.access = Access::Timestamp;
            domain = Domain::Signed64;
            return true;
        case kOutbound:
            step.access = Access::Outbound;
            return true;
        case kInbound:
            step.access = Access::Inbound;
            return true;
        case kLoopback:
            step.access = Access::Loopback;
            return true;
        case kImpostor:
            step.access = Access::Impostor;
            return true;
        case kIfIdx:
            step.access = Access::IfIdx;
            return true;
        case kSubIfIdx:
            step.access = Access::SubIfIdx;
            return true;
        case kProcessId:
            step.access =
                layer == WINDIVERT_LAYER_REFLECT ? Access::ReflectProcessId : Access::FlowProcessId;
            return true;
        case kEndpointId:
            step.access = Access::EndpointId;
            return true;
        case kParentEndpointId:
            step.access = Access::ParentEndpointId;
            return true;
        case kLayer:
            step.access = Access::ReflectLayer;
            return true;
        case kPriority:
            step.access = Access::ReflectPriority;
            domain = Domain::Signed64;
            return true;
        case kIp:
        case kIpv6:
        case kIcmp:
        case kIcmpv6:
        case kTcp:
        case kUdp: {
            static constexpr struct {
                uint8_t field, slot;
                Access flow;
            } kPresence[] = {
                {kIp, kSlotIpv4, Access::FlowIp},     {kIpv6, kSlotIpv6, Access::FlowIpv6},
                {kIcmp, kSlotIcmp, Access::FlowIcmp}, {kIcmpv6, kSlotIcmpv6, Access::FlowIcmpv6},
                {kTcp, kSlotTcp, Access::FlowTcp},    {kUdp, kSlotUdp, Access::FlowUdp},
            };
            for (const auto& p : kPresence) {
                if (p.field != test.field) continue;
                pick(Access::HeaderPresent, p.flow);
                step.slot = p.slot;
            }
            return true;
        }
        case kIpSrcAddr:
        case kIpDstAddr:
            step.access = Access::Ipv4Address;
            step.slot = kSlotIpv4;
            step.offset = test.field == kIpSrcAddr ? 12 : 16;
            return true;
        case kIpv6SrcAddr:
        case kIpv6DstAddr:
            step.access = Access::Ipv6Address;
            step.slot = kSlotIpv6;
            step.offset = test.field == kIpv6SrcAddr ? 8 : 24;
            domain = Domain::Unsigned128;
            return true;
        case kTcpPayloadLength:
        case kUdpPayloadLength:
            step.access = Access::PayloadLength;
            step.slot = test.field == kTcpPayloadLength ? kSlotTcp : kSlotUdp;
            return true;
        case kFragment:
            step.access = Access::Fragment;
            return true;
        case kLength:
            step.access = Access::Length;
            return true;
        case kRandom8:
            step.access = Access::Random8;
            return true;
        case kRandom16:
            step.access = Access::Random16;
            return true;
        case kRandom32:
            step.access = Access::Random32;
            return true;
        case kProtocol:
            pick(Access::Protocol, Access::FlowProtocol);
            return true;
        case kLocalAddr:
            pick(Access::LocalAddr, Access::FlowLocalAddr);
            domain = Domain::Unsigned128;
            return true;
        case kRemoteAddr:
            pick(Access::RemoteAddr, Access::FlowRemoteAddr);
            domain = Domain::Unsigned128;
            return true;
        case kLocalPort:
            pick(Access::LocalPort, Access::FlowLocalPort);
            return true;
        case kRemotePort:
            pick(Access::RemotePort, Access::FlowRemotePort);
            return true;
    }
    return false;
}

// The values of the domain [dlo, dhi] that satisfy `v op c`, as (lo, span, invert).
// Works in 128-bit signed arithmetic; magnitudes beyond the domain are clamped first since
// they all compare alike.
void Solve64(Op op, const Constant& c, i128 dlo, i128 dhi, Step& step) {
    const i128 kFar = (i128{1} << 65);
    i128 below, above;  // largest integer < c (or == c), smallest integer > c (or == c)
    bool exact;
    if (c.negative && c.magnitude == 0) {
        exact = false;  // "-0" sits between -1 and 0
        below = -1;
        above = 0;
    } else {
        i128 magnitude =
            c.magnitude > static_cast<u128>(kFar) ? kFar : static_cast<i128>(c.magnitude);
        i128 x = c.negative ? -magnitude : magnitude;
        exact = true;
        below = above = x;
    }
    i128 lo = dlo, hi = dhi;
    bool invert = false;
    switch (op) {
        case kEq:
        case kNeq:
            if (exact) {
                lo = below;
                hi = below;
            } else {
                lo = 1;
                hi = 0;  // empty
            }
            invert = op == kNeq;
            break;
        case kLt:
            hi = exact ? below - 1 : below;
            break;
        case kLeq:
            hi = below;
            break;
        case kGt:
            lo = exact ? above + 1 : above;
            break;
        case kGeq:
            lo = above;
            break;
    }
    if (lo < dlo) lo = dlo;
    if (hi > dhi) hi = dhi;
    if (lo > hi) {
        // Empty: "not in the whole domain".
        lo = dlo;
        hi = dhi;
        invert = !invert;
    }
    step.lo = static_cast<uint64_t>(lo - dlo);
    step.span = static_cast<uint64_t>(hi - lo);
    step.invert = invert;
}

void Solve128(Op op, const Constant& c, Step& step) {
    const u128 kMax = ~u128{0};
    u128 lo = 0, hi = kMax;
    bool invert = false, empty = false;
    if (c.negative) {
        // Every value is above a negative constant.
        empty = op == kEq || op == kLt || op == kLeq;
    } else {
        const u128 x = c.magnitude;
        switch (op) {
            case kEq:
            case kNeq:
                lo = hi = x;
                invert = op == kNeq;
                break;
            case kLt:
                if (x == 0) empty = true;
                hi = x - 1;
                break;
            case kLeq:
                hi = x;
                break;
            case kGt:
                if (x == kMax) empty = true;
                lo = x + 1;
                break;
            case kGeq:
                lo = x;
                break;
        }
    }
    if (empty) {
        lo = 0;
        hi = kMax;
        invert = true;
    }
    u128 span = hi - lo;
    step.lo = static_cast<uint64_t>(lo);
    step.loHigh = static_cast<uint64_t>(lo >> 64);
    step.span = static_cast<uint64_t>(span);
    step.spanHigh = static_cast<uint64_t>(span >> 64);
    step.invert = invert;
}

// A step that tests one bit of a header byte: set (`!= 0`) or clear (`== 0`).
bool IsBitStep(const Step& s) {
    return s.access == Access::HeaderByte && s.mask == 1 && s.lo == 0 && s.span == 0;
}

// Joins runs of bit tests on the same header byte linked by `and` (each test's success is
// the next test, all share the failure) into one masked comparison.
void FuseBitRuns(std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        if (!IsBitStep(steps[i])) continue;
        const Step& first = steps[i];
        uint32_t mask = 1u << first.shift;
        uint32_t value = first.invert ? mask : 0;
        size_t last = i;
        while (last + 1 < steps.size() && steps[last].success == last + 1) {
            const Step& next = steps[last + 1];
            if (!IsBitStep(next) || next.slot != first.slot || next.offset != first.offset ||
                next.failure != first.failure) {
                break;
            }
            const uint32_t bit = 1u << next.shift;
            const uint32_t want = next.invert ? bit : 0;
            if ((mask & bit) && (value & bit) != want) break;  // contradictory: leave it
            mask |= bit;
            value |= want;
            ++last;
        }
        Step fused = first;
        fused.access = Access::HeaderBits;
        fused.mask = mask;
        fused.lo = value;
        fused.success = steps[last].success;
        steps[i] = fused;
    }
}

}  // namespace

Error Emit(const Ast& ast, std::vector<Test>& tests) {
    return Emitter(ast).Run(tests);
}

bool ValidStructure(const std::vector<Test>& tests) {
    if (tests.empty() || tests.size() > kMaxTests) return false;
    for (size_t i = 0; i < tests.size(); ++i) {
        const Test& t = tests[i];
        if (t.field >= kFieldCount || t.op >= kOpCount) return false;
        for (uint16_t next : {t.success, t.failure}) {
            if (next == kAccept || next == kReject) continue;
            if (next <= i || next >= tests.size()) return false;
        }
        const FieldInfo& field = Field(t.field);
        if (field.arrayWord != 0 ? !ArrayOffsetValid(t.index, field.arrayWord) : t.index != 0) {
            return false;
        }
    }
    return true;
}

std::shared_ptr<const Program> BuildProgram(std::vector<Test> tests, WINDIVERT_LAYER layer) {
    if (tests.empty()) return nullptr;
    auto program = std::make_shared<Program>();
    program->layer = layer;
    program->steps.reserve(tests.size());
    for (const Test& test : tests) {
        if (!FieldValidAt(test.field, layer)) return nullptr;
        Step step;
        Domain domain;
        if (!Resolve(test, layer, step, domain)) return nullptr;
        step.success = test.success;
        step.failure = test.failure;
        switch (domain) {
            case Domain::Unsigned64:
                Solve64(test.op, test.value, 0, i128{std::numeric_limits<uint64_t>::max()}, step);
                break;
            case Domain::Signed64:
                Solve64(test.op, test.value, i128{std::numeric_limits<int64_t>::min()},
                        i128{std::numeric_limits<int64_t>::max()}, step);
                break;
            case Domain::Unsigned128:
                Solve128(test.op, test.value, step);
                break;
        }
        if (step.access >= Access::HeaderPresent) program->needsPacket = true;
        program->steps.push_back(step);
    }
    FuseBitRuns(program->steps);
    // Never matches when no test reachable from the start leads to "accept".
    std::vector<bool> reachable(tests.size(), false);
    reachable[0] = true;
    program->neverMatches = true;
    for (size_t i = 0; i < tests.size(); ++i) {
        if (!reachable[i]) continue;
        for (uint16_t next : {tests[i].success, tests[i].failure}) {
            if (next == kAccept) program->neverMatches = false;
            if (next < tests.size()) reachable[next] = true;
        }
    }
    program->tests = std::move(tests);
    return program;
}

}  // namespace divert::filter
