// The compiler pipeline and the runtime's entry points (Filter.h).
#include <new>

#include "divert/filter/Compiler.h"
#include "divert/filter/Program.h"

namespace divert::filter {

CompiledTests CompileTests(const char* text, WINDIVERT_LAYER layer, CompileMode mode) {
    CompiledTests result;
    if (text == nullptr) {
        result.error = Error{errors::kParse, 0};
        return result;
    }
    if (static_cast<unsigned>(layer) > WINDIVERT_LAYER_REFLECT) {
        result.error = Error{errors::kBadTokenForLayer, 0};
        return result;
    }
    try {
        if (text[0] == '@') {
            if (!DecodeObject(text, result.tests)) {
                result.error = Error{errors::kObjectInvalid, 0};
                return result;
            }
        } else {
            std::vector<Token> tokens;
            Ast ast;
            Error error = Tokenize(text, layer, tokens);
            if (!error) error = Parse(tokens, ast);
            if (!error) error = Check(ast);
            if (!error) error = Emit(ast, result.tests);
            if (!error && !ValidStructure(result.tests)) error = Error{errors::kAssertion, 0};
            if (error) {
                result.error = error;
                result.tests.clear();
                return result;
            }
        }
        if (mode == CompileMode::Open) {
            if (Error error = CheckForOpen(result.tests, layer)) {
                result.error = error;
                result.tests.clear();
            }
        }
    } catch (const std::bad_alloc&) {
        result.tests.clear();
        result.error = Error{errors::kOutOfMemory, 0};
    }
    return result;
}

CompileResult Compile(const char* text, WINDIVERT_LAYER layer) {
    CompileResult result;
    CompiledTests compiled = CompileTests(text, layer, CompileMode::Open);
    if (compiled.error) {
        result.error = compiled.error.message;
        result.errorPosition = compiled.error.position;
        return result;
    }
    try {
        result.program = BuildProgram(std::move(compiled.tests), layer);
        if (!result.program) result.error = errors::kObjectInvalid;
    } catch (const std::bad_alloc&) {
        result.error = errors::kOutOfMemory;
    }
    return result;
}

}  // namespace divert::filter
