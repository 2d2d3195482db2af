// JsonPositions: where each key and value of a JSON text starts, so that problems found
// after parsing (an unknown key, a value of the wrong type) can name a line and column.
//
// The JSON parser reports positions only for syntax errors; this second, small pass over
// text that has already parsed records the byte offset of every object key and every
// value, addressed by JSON pointer ("/tcp/rules/0/kind"), and notes keys that appear
// twice in one object (the parser keeps the last of them). Comments (// and /* */) and a
// UTF-8 byte order mark are skipped, as the parser skips them.
//
// Thread-safety: immutable once built.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bastion {

class JsonPositions {
  public:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    struct Entry {
        size_t keyOffset = kNone;    // opening quote of the member's key (members only)
        size_t valueOffset = kNone;  // first character of the value
    };

    struct Duplicate {
        std::string pointer;
        size_t keyOffset = 0;  // the earlier occurrence, which the parser discards
    };

    // Indexes `text`, which must be JSON the parser accepted (with comments allowed).
    static JsonPositions Index(std::string_view text);

    // The entry of `pointer`; both offsets kNone when it is not in the text.
    Entry Find(const std::string& pointer) const;
    const std::vector<Duplicate>& Duplicates() const { return duplicates_; }

    // `parent` + "/" + `key`, with "~" and "/" escaped as a JSON pointer requires.
    static std::string Child(const std::string& parent, std::string_view key);
    static std::string Child(const std::string& parent, size_t index);

  private:
    std::unordered_map<std::string, Entry> entries_;
    std::vector<Duplicate> duplicates_;
    friend class JsonPositionScanner;
};

// 1-based line and column of byte `offset` of `text`; columns count UTF-8 code points.
struct TextPosition {
    size_t line = 1;
    size_t column = 1;
};
TextPosition PositionAt(std::string_view text, size_t offset);

}  // namespace bastion
