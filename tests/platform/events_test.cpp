// Events, waits, handle validity and the overlapped completion protocol.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/KernelObject.h"
#include "platform/Win32.h"

namespace {

using Clock = std::chrono::steady_clock;

struct EventHandle {
    HANDLE h;
    EventHandle(bool manual, bool initial) : h(CreateEventW(nullptr, manual, initial, nullptr)) {}
    ~EventHandle() { CloseHandle(h); }
};

TEST(Events, InitialStateAndTimeouts) {
    EventHandle signaled(true, true);
    EventHandle clear(true, false);
    EXPECT_EQ(WaitForSingleObject(signaled.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(clear.h, 0), WAIT_TIMEOUT);

    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(clear.h, 30), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(25));
}

TEST(Events, ManualResetStaysSignaledAutoResetReleasesOneWaiter) {
    EventHandle manual(true, false);
    ASSERT_TRUE(SetEvent(manual.h));
    EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual.h));
    EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_TIMEOUT);

    EventHandle automatic(false, false);
    ASSERT_TRUE(SetEvent(automatic.h));
    EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_TIMEOUT);
}

TEST(Events, InfiniteWaitWokenFromAnotherThread) {
    EventHandle event(false, false);
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(event.h, INFINITE), WAIT_OBJECT_0);
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke.load());
    ASSERT_TRUE(SetEvent(event.h));
    waiter.join();
    EXPECT_TRUE(woke.load());
}

TEST(Events, AutoResetWakesExactlyOneOfTwoWaiters) {
    EventHandle event(false, false);
    std::atomic<int> woken{0};
    auto wait = [&] {
        if (WaitForSingleObject(event.h, 300) == WAIT_OBJECT_0) ++woken;
    };
    std::thread a(wait), b(wait);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(event.h);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 1);
}

TEST(Handles, ClosedOrBogusHandlesFailWithInvalidHandle) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(CloseHandle(h));

    SetLastError(0);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));

    // A new object never reuses the closed handle's value.
    HANDLE again = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(again, h);
    CloseHandle(again);
}

TEST(LastError, IsPerThread) {
    SetLastError(87);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(995);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 87u);
}

TEST(Overlapped, PendingNoWaitThenCompletedFromAnotherThread) {
    EventHandle event(true, false);
    OVERLAPPED ov{};
    ov.hEvent = event.h;
    platform::MarkOverlappedPending(&ov);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));

    DWORD bytes = 123;
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    std::thread completer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        platform::CompleteOverlapped(&ov, ERROR_SUCCESS, 1500);
    });
    EXPECT_TRUE(GetOverlappedResult(nullptr, &ov, &bytes, TRUE));
    completer.join();
    EXPECT_EQ(bytes, 1500u);
    EXPECT_EQ(WaitForSingleObject(event.h, 0), WAIT_OBJECT_0);
}

TEST(Overlapped, FailedCompletionReportsItsError) {
    EventHandle event(true, false);
    OVERLAPPED ov{};
    ov.hEvent = event.h;
    platform::MarkOverlappedPending(&ov);
    platform::CompleteOverlapped(&ov, ERROR_OPERATION_ABORTED, 0);
    DWORD bytes = 7;
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
}

TEST(Overlapped, CancelOnObjectWithoutIoIsNotFound) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(h);
    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Overlapped, StartingAnOperationClearsAStaleSignal) {
    EventHandle event(true, true);
    OVERLAPPED ov{};
    ov.hEvent = event.h;
    platform::MarkOverlappedPending(&ov);
    EXPECT_EQ(WaitForSingleObject(event.h, 0), WAIT_TIMEOUT);
    platform::CompleteOverlapped(&ov, ERROR_SUCCESS, 1);
    EXPECT_EQ(WaitForSingleObject(event.h, 0), WAIT_OBJECT_0);
}

TEST(Overlapped, WaitWithoutAnEventWaitsForTheStatus) {
    OVERLAPPED ov{};
    platform::MarkOverlappedPending(&ov);
    std::thread completer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        platform::CompleteOverlapped(&ov, ERROR_OPERATION_ABORTED, 0);
    });
    DWORD bytes = 5;
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    completer.join();
    EXPECT_EQ(bytes, 0u);
}

}  // namespace
