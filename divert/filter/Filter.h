// The filter language as the runtime uses it: compile a text (or object string) once into
// a validated program, parse each packet once, evaluate any number of programs on it.
//
// The public helpers (WinDivertHelperCompileFilter, EvalFilter, FormatFilter) are built
// on the same functions, so the capture path and the helpers share one evaluator.
//
// Thread-safety: a Program is immutable after Compile and may be evaluated from many
// threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "windivert.h"

namespace divert::filter {

class Program;  // defined by the compiler; opaque to the runtime

struct CompileResult {
    std::shared_ptr<const Program> program;  // null on error
    const char* error = "No error";          // static string of the error table
    UINT errorPosition = 0;
};

// Compiles `text` (a filter or an '@' object string) for `layer`, applying every check the
// driver applies at open time (layer validity of fields, constant ranges, the 255-test
// limit). The runtime opens a handle only with a program from here.
CompileResult Compile(const char* text, WINDIVERT_LAYER layer);

// The packet facts every filter test reads, parsed once per packet: see PacketInfo.h for
// the struct and ParsePacketInfo. The driver's sanity rule (the IP length equals the packet
// length) is the caller's: compare PacketInfo::ipLength with the length handed in.
struct PacketInfo;

// Evaluates `program` for one packet (`info` from ParsePacketInfo; null at the FLOW,
// SOCKET and REFLECT layers) and its address record. Allocates nothing. A program that
// reads the packet never matches when `info` is null.
bool Evaluate(const Program& program, const PacketInfo* info, const WINDIVERT_ADDRESS& address);

// True when the program can never match (the compiled form is the constant false).
bool NeverMatches(const Program& program);

// Number of tests in the compiled program.
unsigned TestCount(const Program& program);

}  // namespace divert::filter
