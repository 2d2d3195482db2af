// Object strings: the printable form of a compiled filter that CompileFilter writes, that
// reflect-layer handles report and that Open, EvalFilter and FormatFilter accept.
//
//   "@WinDiv_" NUM(version 0) NUM(n) n * TEST
//   TEST  = "_" NUM(field) NUM(op) NUM(neg) NUM(arg0) extras LABEL(success) LABEL(failure)
//   LABEL = "A" (accept) | "X" (reject) | "L" NUM(index)
//
// NUM is a 32-bit value in base 32, most significant digit first, no leading zeros; digits
// before the last use "0-9A-V", the last digit "WXYZa-z+=". Extras: three more words for
// the 128-bit address fields, one for the 64-bit ones, the byte index + 65535 for arrays.
#include <cstring>

#include "divert/filter/Compiler.h"

namespace divert::filter {
namespace {

constexpr char kPrefix[] = "@WinDiv_";
constexpr char kInner[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
constexpr char kFinal[] = "WXYZabcdefghijklmnopqrstuvwxyz+=";
constexpr u128 kMappedPrefix = u128{0xFFFF} << 32;

void PutNum(std::string& out, uint32_t value) {
    char digits[7];
    int n = 0;
    do {
        digits[n++] = static_cast<char>(value & 31);
        value >>= 5;
    } while (value != 0);
    for (int i = n - 1; i > 0; --i)
        out.push_back(kInner[static_cast<int>(digits[i])]);
    out.push_back(kFinal[static_cast<int>(digits[0])]);
}

void PutLabel(std::string& out, uint16_t label) {
    if (label == kAccept) {
        out.push_back('A');
    } else if (label == kReject) {
        out.push_back('X');
    } else {
        out.push_back('L');
        PutNum(out, label);
    }
}

int InnerDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'V') return c - 'A' + 10;
    return -1;
}

int FinalDigit(char c) {
    if (c >= 'W' && c <= 'Z') return c - 'W';
    if (c >= 'a' && c <= 'z') return c - 'a' + 4;
    if (c == '+') return 30;
    if (c == '=') return 31;
    return -1;
}

class Reader {
  public:
    explicit Reader(const char* text) : p_(text) {}

    bool Literal(const char* s) {
        size_t n = std::strlen(s);
        if (std::strncmp(p_, s, n) != 0) return false;
        p_ += n;
        return true;
    }

    bool Char(char c) {
        if (*p_ != c) return false;
        ++p_;
        return true;
    }

    // A NUM of at most `maxDigits` digits.
    bool Num(unsigned maxDigits, uint32_t& value) {
        uint64_t v = 0;
        for (unsigned digits = 1; digits <= maxDigits; ++digits) {
            char c = *p_++;
            int final = FinalDigit(c);
            if (final >= 0) {
                v = (v << 5) | static_cast<unsigned>(final);
                if (v > 0xFFFFFFFFu) return false;
                value = static_cast<uint32_t>(v);
                return true;
            }
            int inner = InnerDigit(c);
            if (inner < 0) return false;
            v = (v << 5) | static_cast<unsigned>(inner);
        }
        return false;
    }

    bool Label(uint16_t& label) {
        switch (*p_++) {
            case 'A':
                label = kAccept;
                return true;
            case 'X':
                label = kReject;
                return true;
            case 'L': {
                uint32_t index;
                if (!Num(2, index) || index > kMaxTests) return false;
                label = static_cast<uint16_t>(index);
                return true;
            }
            default:
                return false;
        }
    }

    bool AtEnd() const { return *p_ == '\0'; }

  private:
    const char* p_;
};

}  // namespace

std::string EncodeObject(const std::vector<Test>& tests) {
    std::string out = kPrefix;
    PutNum(out, 0);
    PutNum(out, static_cast<uint32_t>(tests.size()));
    for (const Test& test : tests) {
        const FieldInfo& field = Field(test.field);
        const u128 value = test.value.magnitude;
        out.push_back('_');
        PutNum(out, test.field);
        PutNum(out, test.op);
        PutNum(out, test.value.negative ? 1 : 0);
        PutNum(out, static_cast<uint32_t>(value));
        switch (field.extra) {
            case ObjectExtra::None:
                break;
            case ObjectExtra::OneWord:
                PutNum(out, static_cast<uint32_t>(value >> 32));
                break;
            case ObjectExtra::ThreeWords:
                PutNum(out, static_cast<uint32_t>(value >> 32));
                PutNum(out, static_cast<uint32_t>(value >> 64));
                PutNum(out, static_cast<uint32_t>(value >> 96));
                break;
            case ObjectExtra::ArrayIndex:
                PutNum(out, static_cast<uint32_t>(test.index + 0xFFFF));
                break;
        }
        PutLabel(out, test.success);
        PutLabel(out, test.failure);
    }
    return out;
}

bool DecodeObject(const char* text, std::vector<Test>& tests) {
    tests.clear();
    Reader in(text);
    uint32_t version, count;
    if (!in.Literal(kPrefix) || !in.Num(7, version) || version != 0 || !in.Num(7, count) ||
        count == 0 || count > kMaxTests) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        Test test;
        uint32_t field, op, negative, arg0;
        if (!in.Char('_') || !in.Num(2, field) || field >= kFieldCount || !in.Num(1, op) ||
            op >= kOpCount || !in.Num(1, negative) || negative > 1 || !in.Num(7, arg0)) {
            return false;
        }
        test.field = static_cast<uint8_t>(field);
        test.op = static_cast<Op>(op);
        test.value.negative = negative != 0;
        u128 value = arg0;
        switch (Field(field).extra) {
            case ObjectExtra::None:
                // IPv4 header addresses carry the ::ffff: prefix implicitly.
                if (field == kIpSrcAddr || field == kIpDstAddr) value |= kMappedPrefix;
                break;
            case ObjectExtra::OneWord: {
                uint32_t arg1;
                if (!in.Num(7, arg1)) return false;
                value |= u128{arg1} << 32;
                break;
            }
            case ObjectExtra::ThreeWords: {
                uint32_t arg1, arg2, arg3;
                if (!in.Num(7, arg1) || !in.Num(7, arg2) || !in.Num(7, arg3)) return false;
                value |= (u128{arg1} << 32) | (u128{arg2} << 64) | (u128{arg3} << 96);
                break;
            }
            case ObjectExtra::ArrayIndex: {
                uint32_t index;
                if (!in.Num(7, index) || index > 2u * 0xFFFF) return false;
                test.index = static_cast<int32_t>(index) - 0xFFFF;
                break;
            }
        }
        test.value.magnitude = value;
        if (!in.Label(test.success) || !in.Label(test.failure)) return false;
        tests.push_back(test);
    }
    return in.AtEnd() && ValidStructure(tests);
}

}  // namespace divert::filter
