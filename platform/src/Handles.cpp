// Handle table and the overlapped completion protocol.
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/KernelObject.h"

namespace platform {
namespace {

// Handles are counters shifted left so that they never collide with 0, -1 (invalid) or
// -2 (the current-thread pseudo handle), and are never reused.
struct HandleTable {
    std::shared_mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 1;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable();  // outlives every static destructor
    return *table;
}

// Completion status kept in OVERLAPPED::Internal: 0 success, STATUS_PENDING in flight,
// otherwise the Win32 error tagged with kErrorTag.
constexpr ULONG_PTR kErrorTag = 0xE0000000u;

}  // namespace

BOOL KernelObject::CancelIo(LPOVERLAPPED) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}

HANDLE RegisterObject(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::unique_lock lock(table.mutex);
    uintptr_t value = (table.next++) << 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupObject(HANDLE handle) {
    HandleTable& table = Table();
    std::shared_lock lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> UnregisterObject(HANDLE handle) {
    HandleTable& table = Table();
    std::unique_lock lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    table.objects.erase(it);
    return object;
}

size_t OpenHandleCount() {
    HandleTable& table = Table();
    std::shared_lock lock(table.mutex);
    return table.objects.size();
}

void MarkOverlappedPending(LPOVERLAPPED overlapped) {
    std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(0, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(overlapped->Internal)
        .store(STATUS_PENDING, std::memory_order_release);
    // As an overlapped call does on Windows: the event is signalled only by this completion.
    if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
}

void CompleteOverlapped(LPOVERLAPPED overlapped, DWORD error, DWORD bytes) {
    // Read before the status is stored: a waiter that sees the status may free the record.
    HANDLE event = overlapped->hEvent;
    std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(bytes, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR> status(overlapped->Internal);
    // Release: a waiter that sees the status also sees the byte count and the data.
    status.store(error == ERROR_SUCCESS ? 0 : (kErrorTag | error), std::memory_order_release);
    status.notify_all();  // waiters without an event; keyed by address, never dereferenced
    if (event != nullptr) SetEvent(event);
}

}  // namespace platform

using platform::KernelObject;

extern "C" BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object = platform::LookupObject(handle);
    if (!object || !object->ClosableByCloseHandle()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object = platform::UnregisterObject(handle);
    if (!object) {  // lost a race with another close
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->OnClose();
    return TRUE;
}

extern "C" BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    std::shared_ptr<KernelObject> object = platform::LookupObject(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->CancelIo(overlapped);
}

extern "C" BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                    BOOL wait) {
    (void)file;  // the status lives in the OVERLAPPED; the handle may already be closed
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::atomic_ref<ULONG_PTR> status(overlapped->Internal);
    ULONG_PTR value = status.load(std::memory_order_acquire);
    if (value == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (overlapped->hEvent == nullptr) {
            // Windows waits on the file handle; here the status word itself is waited on.
            while ((value = status.load(std::memory_order_acquire)) == STATUS_PENDING) {
                status.wait(STATUS_PENDING, std::memory_order_acquire);
            }
        }
        while ((value = status.load(std::memory_order_acquire)) == STATUS_PENDING) {
            if (WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
        }
    }
    DWORD bytes = static_cast<DWORD>(
        std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load(std::memory_order_relaxed));
    if (bytesTransferred != nullptr) *bytesTransferred = bytes;
    if (value != 0) {
        SetLastError(static_cast<DWORD>(value & ~platform::kErrorTag));
        return FALSE;
    }
    return TRUE;
}
