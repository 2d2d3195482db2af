// Tokenizer: splits a filter text into punctuation, keywords, fields and numbers.
//
// Words are maximal runs of letters, digits, '.', ':' and '_'. A word is, in this order:
// a keyword, field or macro (exact case); decimal digits with an optional attached `b`
// (a byte offset); `0x` and hex digits; a dotted IPv4 address (as ::ffff:a.b.c.d); an IPv6
// address. Anything else is a bad token. The whole text is tokenized before parsing, so a
// bad token anywhere wins over a parse error.
#include <cstring>

#include "divert/filter/Compiler.h"
#include "divert/packet/Packet.h"

namespace divert::filter {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == ':' || c == '_';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr u128 kU128Max = ~u128{0};

// Decimal digits only; false on overflow past 2^128-1.
bool ParseDecimal(const char* s, size_t n, u128& value) {
    value = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned digit = static_cast<unsigned>(s[i] - '0');
        if (value > (kU128Max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool ParseHex(const char* s, size_t n, u128& value) {
    value = 0;
    for (size_t i = 0; i < n; ++i) {
        int digit = HexValue(s[i]);
        if (digit < 0 || (value >> 124) != 0) return false;
        value = (value << 4) | static_cast<unsigned>(digit);
    }
    return true;
}

class Tokenizer {
  public:
    Tokenizer(const char* text, WINDIVERT_LAYER layer, std::vector<Token>& tokens)
        : text_(text), layer_(layer), tokens_(tokens) {}

    Error Run() {
        size_t i = 0;
        for (;;) {
            while (IsSpace(text_[i]))
                ++i;
            char c = text_[i];
            if (c == '\0') {
                tokens_.push_back(Token{TokenKind::End, 0, Pos(i), 0});
                return {};
            }
            size_t end = i + 1;
            Error error;
            switch (c) {
                case '(':
                    error = Add(TokenKind::LParen, i, end);
                    break;
                case ')':
                    error = Add(TokenKind::RParen, i, end);
                    break;
                case '[':
                    error = Add(TokenKind::LBracket, i, end);
                    break;
                case ']':
                    error = Add(TokenKind::RBracket, i, end);
                    break;
                case '-':
                    error = Add(TokenKind::Minus, i, end);
                    break;
                case '?':
                    error = Add(TokenKind::Question, i, end);
                    break;
                case '=':
                    if (text_[i + 1] == '=') ++end;
                    error = Add(TokenKind::Eq, i, end);
                    break;
                case '!':
                    if (text_[i + 1] == '=') {
                        error = Add(TokenKind::Neq, i, ++end);
                    } else {
                        error = Add(TokenKind::Not, i, end);
                    }
                    break;
                case '<':
                    if (text_[i + 1] == '=') {
                        error = Add(TokenKind::Leq, i, ++end);
                    } else {
                        error = Add(TokenKind::Lt, i, end);
                    }
                    break;
                case '>':
                    if (text_[i + 1] == '=') {
                        error = Add(TokenKind::Geq, i, ++end);
                    } else {
                        error = Add(TokenKind::Gt, i, end);
                    }
                    break;
                case '&':
                case '|':
                    // A lone '&' or '|' is reported just after the character, like any
                    // other stray character.
                    if (text_[i + 1] != c) return Error{errors::kBadToken, Pos(i + 1)};
                    error = Add(c == '&' ? TokenKind::And : TokenKind::Or, i, i + 2);
                    end = i + 2;
                    break;
                default:
                    if (!IsWordChar(c)) return Error{errors::kBadToken, Pos(i + 1)};
                    end = i;
                    while (IsWordChar(text_[end]))
                        ++end;
                    error = Word(i, end);
                    break;
            }
            if (error) return error;
            i = end;
        }
    }

  private:
    UINT Pos(size_t offset) const { return static_cast<UINT>(offset); }

    Error Add(TokenKind kind, size_t start, size_t end, uint8_t field = 0, u128 value = 0) {
        tokens_.push_back(Token{kind, field, Pos(start), value});
        if (tokens_.size() > kMaxTokens) return Error{errors::kTooLong, Pos(end)};
        return {};
    }

    // The run [start, end) of word characters.
    Error Word(size_t start, size_t end) {
        // A single trailing ':' is the conditional's colon ("udp:"); "::" stays in the word
        // (an IPv6 address such as "1::").
        size_t wordEnd = end;
        bool colon = false;
        if (text_[end - 1] == ':' && (end - start == 1 || text_[end - 2] != ':')) {
            --wordEnd;
            colon = true;
        }
        if (wordEnd > start) {
            if (Error error = Classify(start, wordEnd)) return error;
        }
        if (colon) return Add(TokenKind::Colon, end - 1, end);
        return {};
    }

    Error Classify(size_t start, size_t end) {
        const char* s = text_ + start;
        size_t n = end - start;
        if (n > kMaxWordLength) return Error{errors::kBadToken, Pos(start)};

        WordInfo word = LookupWord(std::string_view(s, n), layer_);
        switch (word.kind) {
            case WordKind::Field:
                if (!FieldValidAt(word.field, layer_)) {
                    return Error{errors::kBadTokenForLayer, Pos(start)};
                }
                return Add(TokenKind::Field, start, end, word.field);
            case WordKind::And:
                return Add(TokenKind::And, start, end);
            case WordKind::Or:
                return Add(TokenKind::Or, start, end);
            case WordKind::Not:
                return Add(TokenKind::Not, start, end);
            case WordKind::True:
                return Add(TokenKind::True, start, end);
            case WordKind::False:
                return Add(TokenKind::False, start, end);
            case WordKind::Macro:
                if (word.macroLayers & (1u << layer_)) {
                    return Add(TokenKind::Number, start, end, 0, word.macroValue);
                }
                // An event of another layer: never a value here.
                return Add(TokenKind::Stray, start, end);
            case WordKind::None:
                break;
        }

        // A `b` standing alone is not a byte marker: the suffix must be attached ("10b").
        if (n == 1 && s[0] == 'b') return Add(TokenKind::Stray, start, end);

        size_t digits = 0;
        while (digits < n && IsDigit(s[digits]))
            ++digits;
        if (digits > 0 && (digits == n || (digits == n - 1 && s[digits] == 'b'))) {
            u128 value;
            if (!ParseDecimal(s, digits, value)) return Error{errors::kBadToken, Pos(start)};
            if (Error error = Add(TokenKind::Number, start, start + digits, 0, value)) {
                return error;
            }
            if (digits < n) return Add(TokenKind::BytesSuffix, start + digits, end);
            return {};
        }

        if (n >= 2 && s[0] == '0' && s[1] == 'x') {
            u128 value;
            if (ParseHex(s + 2, n - 2, value)) return Add(TokenKind::Number, start, end, 0, value);
            // Not hex: may still be an IPv6 address such as "0:..."; fall through.
        }

        uint32_t v4;
        if (packet::ParseIPv4Text(s, n, v4)) {
            return Add(TokenKind::Number, start, end, 0, (u128{0xFFFF} << 32) | v4);
        }
        uint32_t v6[4];
        if (packet::ParseIPv6Text(s, n, v6)) {
            u128 value = (u128{v6[3]} << 96) | (u128{v6[2]} << 64) | (u128{v6[1]} << 32) | v6[0];
            return Add(TokenKind::Number, start, end, 0, value);
        }
        return Error{errors::kBadToken, Pos(start)};
    }

    const char* text_;
    WINDIVERT_LAYER layer_;
    std::vector<Token>& tokens_;
};

}  // namespace

Error Tokenize(const char* text, WINDIVERT_LAYER layer, std::vector<Token>& tokens) {
    tokens.clear();
    return Tokenizer(text, layer, tokens).Run();
}

}  // namespace divert::filter
