// Internal interface between the phases of the filter compiler:
//   Tokenize -> Parse -> Check -> Emit -> (object string) -> Build (Program.h)
// Each phase is a free function in its own file. A phase either succeeds or returns the
// first error it finds, with the exact published message and its byte offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "divert/filter/Fields.h"
#include "windivert.h"

namespace divert::filter {

// ---- Errors ------------------------------------------------------------------------------
// Arrays, not pointers: one object per message, so that its address identifies it.
namespace errors {
inline constexpr char kNone[] = "No error";
inline constexpr char kOutOfMemory[] = "Out of memory";
inline constexpr char kTooDeep[] = "Filter expression too deep";
inline constexpr char kTooLong[] = "Filter expression too long";
inline constexpr char kBadToken[] = "Filter expression contains a bad token";
inline constexpr char kBadTokenForLayer[] = "Filter expression contains a bad token for layer";
inline constexpr char kParse[] = "Filter expression parse error";
inline constexpr char kIndexOutOfBounds[] = "Filter expression array index is out-of-bounds";
// A constant outside the values its field can take (`tcp.DstPort == 70000`), or one that a
// handle of this layer can never see (`event == 5` at the network layer).
inline constexpr char kConstantOutOfRange[] = "Filter expression constant is out-of-range";
inline constexpr char kObjectTooShort[] = "Filter object buffer is too short";
inline constexpr char kObjectInvalid[] = "Filter object is invalid";
inline constexpr char kAssertion[] = "Internal assertion failed";
inline constexpr char kUnknown[] = "Unknown error";
}  // namespace errors

struct Error {
    const char* message = nullptr;  // null: no error
    UINT position = 0;

    explicit operator bool() const { return message != nullptr; }
};

// ---- Limits ------------------------------------------------------------------------------
inline constexpr unsigned kMaxTokens = 1277;
inline constexpr unsigned kMaxDepth = 340;
inline constexpr unsigned kMaxWordLength = 39;
inline constexpr unsigned kMaxTests = 256;      // WinDivertHelperCompileFilter
inline constexpr unsigned kMaxOpenTests = 255;  // what a handle accepts
inline constexpr int32_t kMaxIndex = WINDIVERT_MTU_MAX;

// Continuation labels of a test: a later test index, or one of these.
inline constexpr uint16_t kAccept = 0x7FFE;
inline constexpr uint16_t kReject = 0x7FFF;

// ---- Tokens ------------------------------------------------------------------------------
enum class TokenKind : uint8_t {
    End,
    LParen,
    RParen,
    LBracket,
    RBracket,
    Minus,
    Question,
    Colon,
    Eq,
    Neq,
    Lt,
    Leq,
    Gt,
    Geq,
    Not,
    And,
    Or,
    True,
    False,
    Field,
    Number,
    BytesSuffix,  // the `b` of `10b`
    Stray,        // a word that is never valid where it stands: a lone `b`, an event macro
                  // of another layer
};

struct Token {
    TokenKind kind = TokenKind::End;
    uint8_t field = 0;  // for Field
    UINT position = 0;  // byte offset of the first character
    u128 value = 0;     // for Number
};

Error Tokenize(const char* text, WINDIVERT_LAYER layer, std::vector<Token>& tokens);

// ---- Syntax tree -------------------------------------------------------------------------
enum class NodeKind : uint8_t { Test, And, Or, Cond, True, False };

struct TestTerm {
    uint8_t field = 0;
    Op op = kNeq;
    Constant value;
    int32_t index = 0;           // byte offset for array fields
    bool explicitValue = false;  // false for `FIELD` / `not FIELD`
    UINT valuePosition = 0;      // offset of the constant (its `-` if negative)
};

struct Node {
    NodeKind kind = NodeKind::True;
    TestTerm test;                   // for Test
    std::vector<uint32_t> children;  // And/Or: operands in order; Cond: condition, then, else
};

struct Ast {
    std::vector<Node> nodes;
    uint32_t root = 0;
};

Error Parse(const std::vector<Token>& tokens, Ast& ast);

// Range checks of explicit constants and folding of tests whose outcome is known from the
// field's range alone: always-false tests become `false`, always-true tests become
// "header present" (or `true` for fields that need no header), and one-bit fields are
// normalised to `!= 0` / `== 0` so that every spelling of a flag test compiles alike.
Error Check(Ast& ast);

// ---- Flat program (the object form) -----------------------------------------------------
struct Test {
    uint8_t field = 0;
    Op op = kEq;
    Constant value;     // for arrays: the word compared with
    int32_t index = 0;  // arrays: signed byte offset
    uint16_t success = kAccept;
    uint16_t failure = kReject;

    friend bool operator==(const Test&, const Test&) = default;
};

// Numbers the tests of the tree in text order, links their continuations and drops the
// unreachable ones. A constant filter becomes the single test `zero == 0`.
Error Emit(const Ast& ast, std::vector<Test>& tests);

// Structural validity of a test list (from Emit or from a decoded object): 1..256 tests,
// known fields and operators, forward links, array offsets inside the packet limit.
bool ValidStructure(const std::vector<Test>& tests);

// The checks a handle applies when it is opened: fields valid at `layer`, constants inside
// their field's range, event numbers of the layer, no "-0", at most 255 tests.
Error CheckForOpen(const std::vector<Test>& tests, WINDIVERT_LAYER layer);

// Array byte-offset rule shared by the parser and the object decoder.
bool ArrayOffsetValid(int32_t offset, unsigned wordSize);

// ---- Object strings ----------------------------------------------------------------------
std::string EncodeObject(const std::vector<Test>& tests);
bool DecodeObject(const char* text, std::vector<Test>& tests);

// ---- Formatting --------------------------------------------------------------------------
// Prints the program as filter text. Returns false when the text would exceed
// `maxLength` characters (the program is then too large to show).
bool FormatProgram(const std::vector<Test>& tests, WINDIVERT_LAYER layer, size_t maxLength,
                   std::string& out);

// ---- The whole pipeline ------------------------------------------------------------------
enum class CompileMode : uint8_t {
    Helper,  // WinDivertHelperCompileFilter/EvalFilter/FormatFilter: the published limits
    Open,    // a handle being opened: also CheckForOpen
};

struct CompiledTests {
    std::vector<Test> tests;
    Error error;
};

// Text or '@' object to a test list. Catches allocation failure ("Out of memory").
CompiledTests CompileTests(const char* text, WINDIVERT_LAYER layer, CompileMode mode);

}  // namespace divert::filter
