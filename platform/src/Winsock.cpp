// Winsock start-up bookkeeping. POSIX sockets need no start-up; the reference count keeps
// WSAStartup/WSACleanup pairing observable and lets tests inject start-up failures.
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/Testing.h"
#include "platform/Win32.h"
#include "platform/src/WinsockState.h"

namespace {
std::atomic<int> gStartupCount{0};
std::mutex gFailMutex;
int gFailRemaining = 0;
int gFailError = 0;
thread_local int tlsWsaError = 0;
}  // namespace

namespace platform::testing {
void FailWsaStartup(int count, int error) {
    std::lock_guard lock(gFailMutex);
    gFailRemaining = count;
    gFailError = error;
}
}  // namespace platform::testing

extern "C" int WSAStartup(WORD versionRequested, LPWSADATA data) {
    {
        std::lock_guard lock(gFailMutex);
        if (gFailRemaining > 0) {
            --gFailRemaining;
            tlsWsaError = gFailError;
            return gFailError;
        }
    }
    if (data == nullptr) {
        tlsWsaError = WSAEFAULT;
        return WSAEFAULT;
    }
    if (LOBYTE(versionRequested) < 2) {
        tlsWsaError = WSAVERNOTSUPPORTED;
        return WSAVERNOTSUPPORTED;
    }
    std::memset(data, 0, sizeof(*data));
    data->wVersion = MAKEWORD(2, 2);
    data->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(data->szDescription, "POSIX sockets");
    std::strcpy(data->szSystemStatus, "Running");
    gStartupCount.fetch_add(1);
    return 0;
}

extern "C" int WSACleanup(void) {
    int count = gStartupCount.load();
    while (count > 0 && !gStartupCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) {
        tlsWsaError = WSANOTINITIALISED;
        return -1;  // SOCKET_ERROR
    }
    return 0;
}

extern "C" int WSAGetLastError(void) { return tlsWsaError; }

extern "C" void WSASetLastError(int error) {
    tlsWsaError = error;
}

namespace platform::detail {
bool WinsockStarted() {
    return gStartupCount.load() > 0;
}
}  // namespace platform::detail
