#include "control/JsonPositions.h"

#include <cstdint>

namespace bastion {

// Walks text the parser has accepted, so it checks nothing and stops quietly at anything
// unexpected instead of guessing.
class JsonPositionScanner {
  public:
    JsonPositionScanner(std::string_view text, JsonPositions& out) : text_(text), out_(out) {}

    void Run() {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
        Value("");
    }

  private:
    bool AtEnd() const { return at_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[at_]; }

    void SkipSpace() {
        while (!AtEnd()) {
            char c = text_[at_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++at_;
            } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '/') {
                while (!AtEnd() && text_[at_] != '\n')
                    ++at_;
            } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '*') {
                size_t end = text_.find("*/", at_ + 2);
                at_ = end == std::string_view::npos ? text_.size() : end + 2;
            } else {
                return;
            }
        }
    }

    void Value(const std::string& pointer) {
        SkipSpace();
        out_.entries_[pointer].valueOffset = at_;
        switch (Peek()) {
            case '{':
                Object(pointer);
                break;
            case '[':
                Array(pointer);
                break;
            case '"':
                String();
                break;
            default:  // number or literal
                while (!AtEnd()) {
                    char c = text_[at_];
                    if (c == ',' || c == ']' || c == '}' || c == ' ' || c == '\t' || c == '\n' ||
                        c == '\r' || c == '/') {
                        break;
                    }
                    ++at_;
                }
        }
    }

    void Object(const std::string& pointer) {
        ++at_;  // {
        SkipSpace();
        if (Peek() == '}') {
            ++at_;
            return;
        }
        while (!AtEnd()) {
            SkipSpace();
            if (Peek() != '"') return;
            size_t keyOffset = at_;
            std::string key = String();
            std::string child = JsonPositions::Child(pointer, key);
            auto& entry = out_.entries_[child];
            if (entry.keyOffset != JsonPositions::kNone) {
                out_.duplicates_.push_back({child, entry.keyOffset});
            }
            entry.keyOffset = keyOffset;
            SkipSpace();
            if (Peek() != ':') return;
            ++at_;
            Value(child);
            SkipSpace();
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            if (Peek() == '}') ++at_;
            return;
        }
    }

    void Array(const std::string& pointer) {
        ++at_;  // [
        SkipSpace();
        if (Peek() == ']') {
            ++at_;
            return;
        }
        for (size_t index = 0; !AtEnd(); ++index) {
            Value(JsonPositions::Child(pointer, index));
            SkipSpace();
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            if (Peek() == ']') ++at_;
            return;
        }
    }

    // Reads a string token and returns its decoded content (keys must compare equal to
    // the parser's decoded keys).
    std::string String() {
        std::string decoded;
        ++at_;  // opening quote
        while (!AtEnd()) {
            char c = text_[at_++];
            if (c == '"') break;
            if (c != '\\') {
                decoded += c;
                continue;
            }
            if (AtEnd()) break;
            char escape = text_[at_++];
            switch (escape) {
                case 'b':
                    decoded += '\b';
                    break;
                case 'f':
                    decoded += '\f';
                    break;
                case 'n':
                    decoded += '\n';
                    break;
                case 'r':
                    decoded += '\r';
                    break;
                case 't':
                    decoded += '\t';
                    break;
                case 'u':
                    AppendUtf8(decoded, CodePoint());
                    break;
                default:  // " \ /
                    decoded += escape;
            }
        }
        return decoded;
    }

    uint32_t Hex4() {
        uint32_t value = 0;
        for (int i = 0; i < 4 && !AtEnd(); ++i) {
            char c = text_[at_++];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= c - '0';
            if (c >= 'a' && c <= 'f') value |= c - 'a' + 10;
            if (c >= 'A' && c <= 'F') value |= c - 'A' + 10;
        }
        return value;
    }

    uint32_t CodePoint() {
        uint32_t high = Hex4();
        if (high >= 0xD800 && high <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
            at_ += 2;
            uint32_t low = Hex4();
            return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
        }
        return high;
    }

    static void AppendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string_view text_;
    JsonPositions& out_;
    size_t at_ = 0;
};

JsonPositions JsonPositions::Index(std::string_view text) {
    JsonPositions positions;
    JsonPositionScanner(text, positions).Run();
    return positions;
}

JsonPositions::Entry JsonPositions::Find(const std::string& pointer) const {
    auto it = entries_.find(pointer);
    return it == entries_.end() ? Entry{} : it->second;
}

std::string JsonPositions::Child(const std::string& parent, std::string_view key) {
    std::string pointer = parent;
    pointer += '/';
    for (char c : key) {
        if (c == '~') {
            pointer += "~0";
        } else if (c == '/') {
            pointer += "~1";
        } else {
            pointer += c;
        }
    }
    return pointer;
}

std::string JsonPositions::Child(const std::string& parent, size_t index) {
    return parent + "/" + std::to_string(index);
}

TextPosition PositionAt(std::string_view text, size_t offset) {
    TextPosition position;
    if (offset > text.size()) offset = text.size();
    for (size_t i = 0; i < offset; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++position.line;
            position.column = 1;
        } else if ((c & 0xC0) != 0x80) {  // not a UTF-8 continuation byte
            ++position.column;
        }
    }
    return position;
}

}  // namespace bastion
