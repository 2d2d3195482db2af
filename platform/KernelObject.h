// Handle table of the POSIX platform layer: every HANDLE the layer hands out (events,
// diversion handles) names a KernelObject registered here. A handle value is never
// reused while the process runs, so a call with a closed handle fails with
// ERROR_INVALID_HANDLE instead of reaching a newer object.
//
// Thread-safety: all functions may be called from any thread. A looked-up object stays
// alive while the caller holds the returned pointer, even if the handle is closed
// meanwhile.
#pragma once

#ifndef _WIN32

#include <memory>

#include "platform/Win32.h"

namespace platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;

    // Called once when the handle is closed (CloseHandle or the object's own close call),
    // after the handle has been removed from the table.
    virtual void OnClose() {}

    // CancelIoEx: cancel the pending overlapped operation `overlapped` of this object, or
    // all of them when it is null. Returns FALSE with ERROR_NOT_FOUND when nothing was
    // pending. Objects without I/O keep this default.
    virtual BOOL CancelIo(LPOVERLAPPED overlapped);

    // Whether CloseHandle may close this object. Diversion handles are closed through
    // their own API call only.
    virtual bool ClosableByCloseHandle() const { return true; }
};

// Registers `object` and returns its new handle (never 0, INVALID_HANDLE_VALUE or the
// current-thread pseudo handle).
HANDLE RegisterObject(std::shared_ptr<KernelObject> object);

// The object of `handle`, or null when the handle is not open.
std::shared_ptr<KernelObject> LookupObject(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupObjectAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupObject(handle));
}

// Removes `handle` from the table and returns its object (null when not open). The caller
// runs OnClose.
std::shared_ptr<KernelObject> UnregisterObject(HANDLE handle);

// Number of open handles (for leak checks in tests).
size_t OpenHandleCount();

// Overlapped completion protocol shared by every asynchronous operation of the layer.
// MarkOverlappedPending sets Internal to STATUS_PENDING and resets the event.
// CompleteOverlapped stores the result and the byte count, then signals the event.
void MarkOverlappedPending(LPOVERLAPPED overlapped);
void CompleteOverlapped(LPOVERLAPPED overlapped, DWORD error, DWORD bytes);

}  // namespace platform

#endif  // !_WIN32
