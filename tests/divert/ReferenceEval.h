// A slow second evaluator for differential tests: follows the links of the test list one
// test at a time, judging each test with a one-test program of its own. It shares the
// field access with Evaluate but none of its control flow or step fusion.
#pragma once

#include <vector>

#include "divert/filter/PacketInfo.h"
#include "divert/filter/Program.h"

namespace divert::testing {

inline bool ReferenceEvaluate(const filter::Program& program, const filter::PacketInfo* info,
                              const WINDIVERT_ADDRESS& address) {
    uint16_t next = 0;
    while (next < filter::kAccept) {
        filter::Test single = program.tests[next];
        single.success = filter::kAccept;
        single.failure = filter::kReject;
        auto one = filter::BuildProgram({single}, program.layer);
        if (!one) return false;
        const bool result = filter::Evaluate(*one, info, address);
        next = result ? program.tests[next].success : program.tests[next].failure;
    }
    return next == filter::kAccept;
}

}  // namespace divert::testing
