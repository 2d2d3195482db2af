// Win32 events on a mutex and a condition variable.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/KernelObject.h"

namespace {

class Event final : public platform::KernelObject {
public:
    Event(bool manualReset, bool initialState) : manualReset_(manualReset), signaled_(initialState) {}

    void Set() {
        {
            std::lock_guard lock(mutex_);
            signaled_ = true;
        }
        if (manualReset_) {
            cond_.notify_all();
        } else {
            cond_.notify_one();
        }
    }

    void Reset() {
        std::lock_guard lock(mutex_);
        signaled_ = false;
    }

    DWORD Wait(DWORD milliseconds) {
        std::unique_lock lock(mutex_);
        auto ready = [this] { return signaled_; };
        if (milliseconds == INFINITE) {
            cond_.wait(lock, ready);
        } else if (!cond_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
            return WAIT_TIMEOUT;
        }
        if (!manualReset_) signaled_ = false;  // an auto-reset event releases one waiter
        return WAIT_OBJECT_0;
    }

private:
    const bool manualReset_;
    std::mutex mutex_;
    std::condition_variable cond_;
    bool signaled_;
};

std::shared_ptr<Event> LookupEvent(HANDLE handle) {
    auto event = platform::LookupObjectAs<Event>(handle);
    if (!event) SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

}  // namespace

extern "C" HANDLE CreateEventW(LPVOID eventAttributes, BOOL manualReset, BOOL initialState,
                               LPCWSTR name) {
    if (eventAttributes != nullptr || name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return platform::RegisterObject(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

extern "C" BOOL SetEvent(HANDLE handle) {
    auto event = LookupEvent(handle);
    if (!event) return FALSE;
    event->Set();
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE handle) {
    auto event = LookupEvent(handle);
    if (!event) return FALSE;
    event->Reset();
    return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto event = LookupEvent(handle);
    if (!event) return WAIT_FAILED;
    return event->Wait(milliseconds);
}
