// Checker: rejects constants a field can never hold and folds tests whose outcome follows
// from the field's range.
//
// Folding follows three-valued logic: a test on an absent header is false whatever its
// operator, so an always-true test on a header field becomes "header present" and an
// always-false one becomes `false` (never "header absent", which would match packets
// without the header). Array tests are folded only when always false: an always-true array
// test still depends on the index falling inside the packet.
#include "divert/filter/Compiler.h"

namespace divert::filter {
namespace {

enum class Outcome { AlwaysTrue, AlwaysFalse, Depends };

bool Satisfies(Op op, const Constant& value, const Constant& c) {
    int cmp = CompareConstants(value, c);
    switch (op) {
        case kEq:
            return cmp == 0;
        case kNeq:
            return cmp != 0;
        case kLt:
            return cmp < 0;
        case kLeq:
            return cmp <= 0;
        case kGt:
            return cmp > 0;
        case kGeq:
            return cmp >= 0;
    }
    return false;
}

// Outcome of `v op c` for every v in [lo, hi].
Outcome Decide(Op op, const Constant& c, const Constant& lo, const Constant& hi) {
    int cLo = CompareConstants(c, lo);
    int cHi = CompareConstants(c, hi);
    bool single = CompareConstants(lo, hi) == 0;
    switch (op) {
        case kEq:
        case kNeq: {
            Outcome eq = (single && cLo == 0)   ? Outcome::AlwaysTrue
                         : (cLo < 0 || cHi > 0) ? Outcome::AlwaysFalse
                                                : Outcome::Depends;
            if (op == kEq || eq == Outcome::Depends) return eq;
            return eq == Outcome::AlwaysTrue ? Outcome::AlwaysFalse : Outcome::AlwaysTrue;
        }
        case kLt:
            if (cHi > 0) return Outcome::AlwaysTrue;
            if (cLo <= 0) return Outcome::AlwaysFalse;
            return Outcome::Depends;
        case kLeq:
            if (cHi >= 0) return Outcome::AlwaysTrue;
            if (cLo < 0) return Outcome::AlwaysFalse;
            return Outcome::Depends;
        case kGt:
            if (cLo < 0) return Outcome::AlwaysTrue;
            if (cHi >= 0) return Outcome::AlwaysFalse;
            return Outcome::Depends;
        case kGeq:
            if (cLo <= 0) return Outcome::AlwaysTrue;
            if (cHi > 0) return Outcome::AlwaysFalse;
            return Outcome::Depends;
    }
    return Outcome::Depends;
}

Error CheckTest(Node& node) {
    TestTerm& test = node.test;
    const FieldInfo& field = Field(test.field);
    if (test.explicitValue && (CompareConstants(test.value, field.min) < 0 ||
                               CompareConstants(test.value, field.max) > 0)) {
        return Error{errors::kConstantOutOfRange, test.valuePosition};
    }
    switch (Decide(test.op, test.value, field.min, field.max)) {
        case Outcome::AlwaysFalse:
            node.kind = NodeKind::False;
            return {};
        case Outcome::AlwaysTrue:
            if (field.arrayWord != 0) return {};
            if (field.header == kNoHeader) {
                node.kind = NodeKind::True;
                return {};
            }
            test = TestTerm{};
            test.field = PresenceField(field.header);
            test.op = kNeq;
            return {};
        case Outcome::Depends:
            break;
    }
    // A one-bit field: every remaining test means "is set" or "is clear".
    if (!field.min.negative && field.min.magnitude == 0 && field.max == Constant{false, 1}) {
        test.op = Satisfies(test.op, Constant{false, 1}, test.value) ? kNeq : kEq;
        test.value = Constant{};
    }
    return {};
}

}  // namespace

Error Check(Ast& ast) {
    // Nodes are stored children-first, so one pass in storage order visits every test in
    // text order.
    for (Node& node : ast.nodes) {
        if (node.kind != NodeKind::Test) continue;
        if (Error error = CheckTest(node)) return error;
    }
    return {};
}

}  // namespace divert::filter

namespace divert::filter {

Error CheckForOpen(const std::vector<Test>& tests, WINDIVERT_LAYER layer) {
    if (tests.size() > kMaxOpenTests) return Error{errors::kTooLong, 0};
    for (const Test& test : tests) {
        if (!FieldValidAt(test.field, layer)) return Error{errors::kBadTokenForLayer, 0};
        const FieldInfo& field = Field(test.field);
        const Constant& value = test.value;
        bool outside =
            CompareConstants(value, field.min) < 0 || CompareConstants(value, field.max) > 0;
        // "-0" is a number below 0 that no field holds.
        bool negativeZero = value.negative && value.magnitude == 0;
        bool foreignEvent = test.field == kEvent && !outside &&
                            !EventValidAt(static_cast<uint32_t>(value.magnitude), layer);
        if (outside || negativeZero || foreignEvent) {
            return Error{errors::kConstantOutOfRange, 0};
        }
    }
    return {};
}

}  // namespace divert::filter
