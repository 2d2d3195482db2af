// Fault injection for tests: make the diversion API fail the way a real driver can, on
// the calls a test chooses. Faults are process-wide and consumed in order; ClearFaults
// removes what is left. The API checks them only while some fault is armed.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "windivert.h"

namespace divert {

// The next `count` WinDivertOpen calls that pass argument validation (and match
// `priority` / `flags` when given) fail with `error`, as a driver or device failure would
// (for example 5 without privileges, 1453 when out of quota).
void FailOpens(uint32_t count, DWORD error, std::optional<INT16> priority = std::nullopt,
               std::optional<UINT64> flags = std::nullopt);

// What one WinDivertSend/SendEx call does, consumed one per call (after argument and
// handle validation). Normal: as without faults.
enum class SendOutcome {
    Normal,
    Fail,           // nothing is injected; the call fails with `error`
    ReportPending,  // overlapped calls: injected and completed, but the call says 997
    HoldPending,    // overlapped calls: 997, and nothing happens until ReleaseHeldSends
                    // (then injected and completed) or CancelIoEx / close (995)
};

struct SendFault {
    SendOutcome outcome = SendOutcome::Normal;
    DWORD error = 0;  // for Fail
};

// Appends `fault` `count` times to the script of send outcomes. A pending outcome on a
// call without an OVERLAPPED behaves as Normal.
void ScriptSends(SendFault fault, uint32_t count = 1);
void FailSends(uint32_t count, DWORD error);

// Performs every held send and completes it; returns how many.
size_t ReleaseHeldSends();

// The next receive that returns packets reports these figures instead of the true ones
// (the packets are consumed as usual): `recvLen` as the byte count (*pRecvLen or the
// OVERLAPPED's), `addrLen` in *pAddrLen.
void OverrideNextRecv(std::optional<UINT> recvLen, std::optional<UINT> addrLen);

// Removes every armed fault (held sends stay held).
void ClearFaults();

namespace faults_internal {
struct RecvOverrideValues {
    std::optional<UINT> recvLen;
    std::optional<UINT> addrLen;
};
bool Armed();
std::optional<DWORD> TakeOpenFailure(INT16 priority, UINT64 flags);
SendFault TakeSendFault();
std::optional<RecvOverrideValues> TakeRecvOverride();
}  // namespace faults_internal

}  // namespace divert
