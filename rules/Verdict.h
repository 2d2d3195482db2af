// What a rule evaluator decides for one packet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bastion {

enum class Verdict : uint32_t {
    Allow = 0,
    Drop = 1,
    BlockSource = 2,  // drop, and add the source to the host's block list
};

// "Allow", "Drop", "BlockSource"; any other value "Unknown".
inline std::string_view VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Allow: return "Allow";
        case Verdict::Drop: return "Drop";
        case Verdict::BlockSource: return "BlockSource";
    }
    return "Unknown";
}

struct VerdictResult {
    Verdict verdict = Verdict::Allow;
    // UTF-8 reason text; empty unless reason texts are enabled and a rule fired.
    std::string reason;
};

}  // namespace bastion
