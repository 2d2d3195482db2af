// The reference pass-through reader.
#include "bench/PassThroughReader.h"

#include <memory>

namespace bastion::bench {
namespace {

constexpr UINT kBufferBytes = 0xFF000;  // 1,044,480
constexpr UINT kBatch = WINDIVERT_BATCH_MAX;
constexpr DWORD kWaitMs = 10;

}  // namespace

PassThroughReader::PassThroughReader(HANDLE handle, unsigned threads) : handle_(handle) {
    for (unsigned i = 0; i < threads; ++i)
        threads_.emplace_back([this] { Run(); });
}

PassThroughReader::~PassThroughReader() {
    Stop();
}

void PassThroughReader::Stop() {
    running_.store(false, std::memory_order_relaxed);
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    threads_.clear();
}

void PassThroughReader::Run() {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBufferBytes]);
    std::unique_ptr<WINDIVERT_ADDRESS[]> addresses(new WINDIVERT_ADDRESS[kBatch]);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    while (running_.load(std::memory_order_relaxed)) {
        UINT recvLen = 0;
        UINT addrLen = kBatch * sizeof(WINDIVERT_ADDRESS);
        if (!WinDivertRecvEx(handle_, buffer.get(), kBufferBytes, &recvLen, 0, addresses.get(),
                             &addrLen, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                errors_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            while (WaitForSingleObject(event, kWaitMs) == WAIT_TIMEOUT) {
                if (!running_.load(std::memory_order_relaxed)) {
                    CancelIoEx(handle_, &ov);
                    break;
                }
            }
            DWORD bytes = 0;
            if (!GetOverlappedResult(handle_, &ov, &bytes, TRUE)) continue;  // cancelled
            recvLen = bytes;
        }
        if (!WinDivertSendEx(handle_, buffer.get(), recvLen, nullptr, 0, addresses.get(), addrLen,
                             nullptr)) {
            errors_.fetch_add(1, std::memory_order_relaxed);
        }
        packets_.fetch_add(addrLen / sizeof(WINDIVERT_ADDRESS), std::memory_order_relaxed);
        batches_.fetch_add(1, std::memory_order_relaxed);
    }
    CloseHandle(event);
}

}  // namespace bastion::bench
