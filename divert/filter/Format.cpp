// Formatter: turns a test list back into filter text (WinDivertHelperFormatFilter).
//
// The test list is short-circuit control flow with forward links. A run of tests
// [begin, end) that is entered at `begin` and leaves only to two labels S ("true") and
// F ("false") is an expression; it splits at the first m where the prefix [begin, m)
// leaves only to {m, F} (an `and`), to {S, m} (an `or`), or to {m, k} with both
// [m, k) and [k, end) expressions (a conditional). Programs that do not split this way
// (possible only for hand-made objects) are printed as nested conditionals.
#include <algorithm>
#include <string>

#include "divert/filter/Compiler.h"
#include "divert/packet/Packet.h"

namespace divert::filter {
namespace {

constexpr uint32_t kLabelTrue = 0xFFFFFFF0u;  // expression labels outside the test range

enum class ExprKind : uint8_t { True, False, Test, And, Or, Cond };

struct Expr {
    ExprKind kind;
    uint32_t test = 0;          // for Test
    std::vector<size_t> parts;  // And/Or operands; Cond: condition, then, else
};

class Decompiler {
  public:
    Decompiler(const std::vector<Test>& tests, size_t budget) : tests_(tests), budget_(budget) {}

    // Returns the index of the root expression, or false when over budget.
    bool Run(size_t& root) {
        const Test& first = tests_[0];
        if (tests_.size() == 1 && first.field == kZero && first.op == kEq &&
            first.success == first.failure) {
            root = Add(Expr{first.success == kAccept ? ExprKind::True : ExprKind::False, 0, {}});
            return !over_;
        }
        root = Decompile(0, static_cast<uint32_t>(tests_.size()), kAccept, kReject);
        return !over_;
    }

    const Expr& At(size_t i) const { return exprs_[i]; }

  private:
    uint32_t Succ(uint32_t t) const { return tests_[t].success; }
    uint32_t Fail(uint32_t t) const { return tests_[t].failure; }

    size_t Add(Expr e) {
        if (exprs_.size() >= budget_) {
            over_ = true;
            return 0;
        }
        exprs_.push_back(std::move(e));
        return exprs_.size() - 1;
    }

    // Every link of [begin, end) stays inside or goes to one of `a`, `b`.
    bool Leaves(uint32_t begin, uint32_t end, uint32_t a, uint32_t b) {
        work_ += end - begin;
        for (uint32_t t = begin; t < end; ++t) {
            for (uint32_t next : {Succ(t), Fail(t)}) {
                if (next >= end || next < begin) {
                    if (next != a && next != b) return false;
                }
            }
        }
        return true;
    }

    size_t Constant(uint32_t label, uint32_t success) {
        return Add(Expr{label == success ? ExprKind::True : ExprKind::False, 0, {}});
    }

    // The expression of [begin, end) that is true when it leaves to `success`.
    size_t Decompile(uint32_t begin, uint32_t end, uint32_t success, uint32_t failure) {
        if (over_) return 0;
        if (end - begin == 1) {
            if (Succ(begin) == success && Fail(begin) == failure) {
                return Add(Expr{ExprKind::Test, begin, {}});
            }
            size_t test = Add(Expr{ExprKind::Test, begin, {}});
            size_t whenTrue = Constant(Succ(begin), success);
            size_t whenFalse = Constant(Fail(begin), success);
            return Add(Expr{ExprKind::Cond, 0, {test, whenTrue, whenFalse}});
        }
        // Exits of the prefix [begin, m) that lie at or beyond m, collected as m grows.
        for (uint32_t m = begin + 1; m < end; ++m) {
            work_ += m - begin;
            if (work_ > kWorkLimit) {
                over_ = true;
                return 0;
            }
            uint32_t exitA = kLabelTrue, exitB = kLabelTrue;
            bool fits = true;  // at most two distinct exits
            for (uint32_t t = begin; t < m && fits; ++t) {
                for (uint32_t next : {Succ(t), Fail(t)}) {
                    if (next < m) continue;
                    if (next == exitA || next == exitB) continue;
                    if (exitA == kLabelTrue) {
                        exitA = next;
                    } else if (exitB == kLabelTrue) {
                        exitB = next;
                    } else {
                        fits = false;
                    }
                }
            }
            if (!fits) continue;
            auto exits = [&](uint32_t x, uint32_t y) {
                return (exitA == x || exitA == y || exitA == kLabelTrue) &&
                       (exitB == x || exitB == y || exitB == kLabelTrue);
            };
            if (exits(m, failure) && Leaves(m, end, success, failure)) {
                size_t left = Decompile(begin, m, m, failure);
                size_t right = Decompile(m, end, success, failure);
                return Add(Expr{ExprKind::And, 0, {left, right}});
            }
            if (exits(success, m) && Leaves(m, end, success, failure)) {
                size_t left = Decompile(begin, m, success, m);
                size_t right = Decompile(m, end, success, failure);
                return Add(Expr{ExprKind::Or, 0, {left, right}});
            }
            // A conditional: the condition leaves to m (then-branch) and to k (else-branch).
            uint32_t k = exitA == m ? exitB : exitA;
            if ((exitA == m || exitB == m) && k > m && k < end && Leaves(m, k, success, failure) &&
                Leaves(k, end, success, failure)) {
                size_t cond = Decompile(begin, m, m, k);
                size_t whenTrue = Decompile(m, k, success, failure);
                size_t whenFalse = Decompile(k, end, success, failure);
                return Add(Expr{ExprKind::Cond, 0, {cond, whenTrue, whenFalse}});
            }
        }
        // Unstructured: test ? (rest from success) : (rest from failure).
        size_t test = Add(Expr{ExprKind::Test, begin, {}});
        auto branch = [&](uint32_t next) -> size_t {
            if (next == success || next == failure || next >= end) return Constant(next, success);
            return Decompile(next, end, success, failure);
        };
        size_t whenTrue = branch(Succ(begin));
        size_t whenFalse = branch(Fail(begin));
        return Add(Expr{ExprKind::Cond, 0, {test, whenTrue, whenFalse}});
    }

    const std::vector<Test>& tests_;
    // Hand-made objects can make the split search slow; give up past this many steps.
    static constexpr uint64_t kWorkLimit = uint64_t{1} << 26;

    size_t budget_;
    uint64_t work_ = 0;
    bool over_ = false;
    std::vector<Expr> exprs_;
};

void AppendDecimal(std::string& out, u128 value) {
    char digits[40];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out.push_back(digits[--n]);
}

void AppendHex(std::string& out, u128 value) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[32];
    int n = 0;
    do {
        digits[n++] = kHex[static_cast<int>(value & 0xF)];
        value >>= 4;
    } while (value != 0);
    out += "0x";
    while (n > 0)
        out.push_back(digits[--n]);
}

void AppendAddress(std::string& out, u128 value) {
    uint32_t words[4] = {static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32),
                         static_cast<uint32_t>(value >> 64), static_cast<uint32_t>(value >> 96)};
    char text[48];
    out.append(text, packet::FormatIPv6Text(words, text));
}

const char* OpText(Op op) {
    switch (op) {
        case kEq:
            return " = ";
        case kNeq:
            return " != ";
        case kLt:
            return " < ";
        case kLeq:
            return " <= ";
        case kGt:
            return " > ";
        case kGeq:
            return " >= ";
    }
    return " ? ";
}

void AppendTest(std::string& out, const Test& test, WINDIVERT_LAYER layer) {
    const FieldInfo& field = Field(test.field);
    const Constant& value = test.value;
    // One-bit fields compared with 0 or 1 read as "name" / "not name".
    if (field.format == ValueFormat::Flag && !value.negative && value.magnitude <= 1 &&
        (test.op == kEq || test.op == kNeq)) {
        bool set = (test.op == kEq) == (value.magnitude == 1);
        if (!set) out += "not ";
        out += field.name;
        return;
    }
    out += field.name;
    if (field.arrayWord != 0) {
        out.push_back('[');
        out += std::to_string(test.index);
        out += "b]";
    }
    out += OpText(test.op);
    if (value.negative) {
        out.push_back('-');
        AppendDecimal(out, value.magnitude);
        return;
    }
    const u128 v = value.magnitude;
    switch (field.format) {
        case ValueFormat::Hex:
            AppendHex(out, v);
            return;
        case ValueFormat::Ipv4Address:
            if ((v >> 32) == 0xFFFF) {
                char text[16];
                out.append(text, packet::FormatIPv4Text(static_cast<uint32_t>(v), text));
            } else {
                AppendAddress(out, v);
            }
            return;
        case ValueFormat::Address:
            AppendAddress(out, v);
            return;
        case ValueFormat::Event:
            if (const char* name =
                    v <= 0xFF ? EventName(static_cast<uint32_t>(v), layer) : nullptr) {
                out += name;
                return;
            }
            break;
        case ValueFormat::Layer:
            if (const char* name = v <= 0xFF ? LayerName(static_cast<uint32_t>(v)) : nullptr) {
                out += name;
                return;
            }
            break;
        case ValueFormat::Decimal:
        case ValueFormat::Flag:
            break;
    }
    AppendDecimal(out, v);
}

class Printer {
  public:
    Printer(const Decompiler& d, const std::vector<Test>& tests, WINDIVERT_LAYER layer,
            size_t maxLength, std::string& out)
        : d_(d), tests_(tests), layer_(layer), maxLength_(maxLength), out_(out) {}

    bool Print(size_t root) {
        Node(root, ExprKind::True);
        return out_.size() <= maxLength_;
    }

  private:
    // `context`: the kind of the chain this expression is an operand of (True: none).
    void Node(size_t i, ExprKind context) {
        if (out_.size() > maxLength_) return;
        const Expr& e = d_.At(i);
        switch (e.kind) {
            case ExprKind::True:
                out_ += "true";
                return;
            case ExprKind::False:
                out_ += "false";
                return;
            case ExprKind::Test:
                AppendTest(out_, tests_[e.test], layer_);
                return;
            case ExprKind::And:
            case ExprKind::Or: {
                // Chains of one operator print flat; a chain inside the other kind gets
                // parentheses.
                bool paren = context != ExprKind::True && context != e.kind;
                if (paren) out_.push_back('(');
                Chain(i, e.kind);
                if (paren) out_.push_back(')');
                return;
            }
            case ExprKind::Cond:
                out_.push_back('(');
                Node(e.parts[0], ExprKind::True);
                out_ += "? ";
                Node(e.parts[1], ExprKind::True);
                out_ += ": ";
                Node(e.parts[2], ExprKind::True);
                out_.push_back(')');
                return;
        }
    }

    void Chain(size_t i, ExprKind kind) {
        const Expr& e = d_.At(i);
        for (size_t p = 0; p < e.parts.size(); ++p) {
            if (p > 0) out_ += kind == ExprKind::And ? " and " : " or ";
            const Expr& part = d_.At(e.parts[p]);
            if (part.kind == kind) {
                Chain(e.parts[p], kind);
            } else {
                Node(e.parts[p], kind);
            }
        }
    }

    const Decompiler& d_;
    const std::vector<Test>& tests_;
    WINDIVERT_LAYER layer_;
    size_t maxLength_;
    std::string& out_;
};

}  // namespace

bool FormatProgram(const std::vector<Test>& tests, WINDIVERT_LAYER layer, size_t maxLength,
                   std::string& out) {
    out.clear();
    if (tests.empty()) return false;
    // Every expression node prints at least one character, so the node count is bounded by
    // the output length (plus some slack for short outputs).
    Decompiler decompiler(tests, std::min<size_t>(maxLength + 64, size_t{1} << 20));
    size_t root;
    if (!decompiler.Run(root)) return false;
    return Printer(decompiler, tests, layer, maxLength, out).Print(root);
}

}  // namespace divert::filter
