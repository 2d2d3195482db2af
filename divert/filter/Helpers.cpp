// The public filter helpers: WinDivertHelperCompileFilter, EvalFilter and FormatFilter.
// They share the compiler and the evaluator with the runtime; only the limits differ
// (the helpers accept what the published helpers accept, see CompileMode).
#include <cstring>
#include <new>
#include <string>

#include "divert/filter/PacketInfo.h"
#include "divert/filter/Program.h"

namespace {

using namespace divert::filter;

bool LayerValid(WINDIVERT_LAYER layer) {
    return static_cast<unsigned>(layer) <= WINDIVERT_LAYER_REFLECT;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Copies `text` and its NUL into `buffer`; when it does not fit, a truncated NUL-terminated
// prefix is left and the call fails with ERROR_INSUFFICIENT_BUFFER.
bool CopyOut(const std::string& text, char* buffer, UINT bufLen) {
    if (text.size() + 1 <= bufLen) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return true;
    }
    if (bufLen > 0) {
        std::memcpy(buffer, text.data(), bufLen - 1);
        buffer[bufLen - 1] = '\0';
    }
    return false;
}

}  // namespace

extern "C" BOOL WinDivertHelperCompileFilter(const char* filter, WINDIVERT_LAYER layer,
                                             char* object, UINT objLen, const char** errorStr,
                                             UINT* errorPos) {
    if (filter == nullptr || !LayerValid(layer)) return Fail(ERROR_INVALID_PARAMETER);
    auto report = [&](const char* message, UINT position) {
        if (errorStr) *errorStr = message;
        if (errorPos) *errorPos = position;
    };
    CompiledTests compiled = CompileTests(filter, layer, CompileMode::Helper);
    if (compiled.error) {
        report(compiled.error.message, compiled.error.position);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (object != nullptr) {
        std::string encoded;
        try {
            encoded = EncodeObject(compiled.tests);
        } catch (const std::bad_alloc&) {
            report(errors::kOutOfMemory, 0);
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!CopyOut(encoded, object, objLen)) {
            report(errors::kObjectTooShort, 0);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    report(errors::kNone, 0);
    return TRUE;
}

extern "C" BOOL WinDivertHelperEvalFilter(const char* filter, const VOID* pPacket, UINT packetLen,
                                          const WINDIVERT_ADDRESS* pAddr) {
    if (filter == nullptr || pAddr == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const auto layer = static_cast<WINDIVERT_LAYER>(pAddr->Layer);
    if (!LayerValid(layer)) return Fail(ERROR_INVALID_PARAMETER);

    PacketInfo info;
    const PacketInfo* packet = nullptr;
    switch (layer) {
        case WINDIVERT_LAYER_NETWORK:
        case WINDIVERT_LAYER_NETWORK_FORWARD:
            if (!ParsePacketInfo(static_cast<const uint8_t*>(pPacket), packetLen, info) ||
                (info.header[kSlotIpv6] != nullptr) != (pAddr->IPv6 != 0)) {
                return Fail(ERROR_INVALID_PARAMETER);
            }
            packet = &info;
            break;
        case WINDIVERT_LAYER_FLOW:
        case WINDIVERT_LAYER_SOCKET:
            if (pPacket != nullptr) return Fail(ERROR_INVALID_PARAMETER);
            break;
        case WINDIVERT_LAYER_REFLECT:
            break;
    }

    std::shared_ptr<const Program> program;
    try {
        CompiledTests compiled = CompileTests(filter, layer, CompileMode::Helper);
        if (compiled.error) return Fail(ERROR_INVALID_PARAMETER);
        program = BuildProgram(std::move(compiled.tests), layer);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!program) return Fail(ERROR_INVALID_PARAMETER);
    if (Evaluate(*program, packet, *pAddr)) return TRUE;
    return Fail(ERROR_SUCCESS);
}

extern "C" BOOL WinDivertHelperFormatFilter(const char* filter, WINDIVERT_LAYER layer, char* buffer,
                                            UINT bufLen) {
    if (filter == nullptr || buffer == nullptr || !LayerValid(layer)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string text;
    try {
        CompiledTests compiled = CompileTests(filter, layer, CompileMode::Helper);
        if (compiled.error) return Fail(ERROR_INVALID_PARAMETER);
        if (!FormatProgram(compiled.tests, layer, bufLen, text)) {
            CopyOut(text, buffer, bufLen);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!CopyOut(text, buffer, bufLen)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    return TRUE;
}
