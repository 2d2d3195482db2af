// Processors, affinity, sleeping and the executable's path on Linux.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Testing.h"
#include "platform/Win32.h"

namespace {

std::atomic<uint32_t> gProcessorCountOverride{0};
std::atomic<bool> gAffinityEnabled{true};
std::mutex gModulePathMutex;
std::wstring gModulePathOverride;

// Linux paths are bytes, UTF-8 by convention; wchar_t holds one code point. The C
// library's multibyte conversion depends on the process locale (plain "C" by default),
// so decode here. Bytes that are not valid UTF-8 become U+FFFD.
std::wstring DecodeUtf8(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t extra = lead < 0x80           ? 0
                       : (lead >> 5) == 0x6  ? 1
                       : (lead >> 4) == 0xE  ? 2
                       : (lead >> 3) == 0x1E ? 3
                                             : 4;
        uint32_t code = extra == 0   ? lead
                        : extra == 1 ? (lead & 0x1F)
                        : extra == 2 ? (lead & 0x0F)
                                     : (lead & 0x07);
        bool valid = extra <= 3;
        for (size_t k = 1; valid && k <= extra; ++k) {
            if (i + k >= bytes.size()) {
                valid = false;
                break;
            }
            unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || code < kMinimum[extra] || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            out.push_back(L'\uFFFD');
            i += 1;
            continue;
        }
        out.push_back(static_cast<wchar_t>(code));
        i += extra + 1;
    }
    return out;
}

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

uint32_t ProcessorCount() {
    uint32_t forced = gProcessorCountOverride.load(std::memory_order_relaxed);
    if (forced != 0) return forced;
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<uint32_t>(online) : 1;
}

// Pins the calling thread to the processors (group * 64 + bit) of `mask`.
bool PinCurrentThread(WORD group, uint64_t mask) {
    if (!gAffinityEnabled.load(std::memory_order_relaxed)) return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned bit = 0; bit < 64; ++bit) {
        if ((mask >> bit) & 1) {
            unsigned cpu = group * 64u + bit;
            if (cpu < CPU_SETSIZE) CPU_SET(cpu, &set);
        }
    }
    return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
}

uint64_t CurrentMask(WORD group) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pthread_getaffinity_np(pthread_self(), sizeof(set), &set) != 0) return 0;
    uint64_t mask = 0;
    for (unsigned bit = 0; bit < 64; ++bit) {
        unsigned cpu = group * 64u + bit;
        if (cpu < CPU_SETSIZE && CPU_ISSET(cpu, &set)) mask |= uint64_t{1} << bit;
    }
    return mask;
}

}  // namespace

namespace platform {
std::wstring DecodeUtf8ForTesting(std::string_view bytes) {
    return DecodeUtf8(bytes);
}
}  // namespace platform

namespace platform::testing {
void SetProcessorCount(uint32_t count) {
    gProcessorCountOverride.store(count);
}
void SetAffinityEnabled(bool enabled) {
    gAffinityEnabled.store(enabled);
}
void SetModuleFileName(const std::wstring& path) {
    std::lock_guard lock(gModulePathMutex);
    gModulePathOverride = path;
}
}  // namespace platform::testing

extern "C" void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

extern "C" void GetSystemInfo(LPSYSTEM_INFO info) {
    std::memset(info, 0, sizeof(*info));
    uint32_t count = ProcessorCount();
    info->wProcessorArchitecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64
    info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    info->dwNumberOfProcessors = count;
    info->dwActiveProcessorMask = count >= 64 ? ~DWORD_PTR{0} : ((DWORD_PTR{1} << count) - 1);
    info->dwAllocationGranularity = 65536;
}

extern "C" WORD GetActiveProcessorGroupCount(void) {
    return static_cast<WORD>((ProcessorCount() + 63) / 64);
}

extern "C" DWORD GetActiveProcessorCount(WORD group) {
    uint32_t count = ProcessorCount();
    if (group == ALL_PROCESSOR_GROUPS) return count;
    uint32_t first = group * 64u;
    if (first >= count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return count - first < 64 ? count - first : 64;
}

extern "C" HANDLE GetCurrentThread(void) {
    return kCurrentThreadPseudoHandle;
}

extern "C" DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
    uint32_t count = ProcessorCount();
    uint64_t valid = count >= 64 ? ~uint64_t{0} : ((uint64_t{1} << count) - 1);
    if (thread != kCurrentThreadPseudoHandle || mask == 0 || (mask & ~valid) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    uint64_t previous = CurrentMask(0);
    if (!PinCurrentThread(0, mask)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return previous != 0 ? previous : valid;
}

extern "C" BOOL SetThreadGroupAffinity(HANDLE thread, const GROUP_AFFINITY* affinity,
                                       PGROUP_AFFINITY previous) {
    if (thread != kCurrentThreadPseudoHandle || affinity == nullptr || affinity->Mask == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD inGroup = GetActiveProcessorCount(affinity->Group);
    uint64_t valid = inGroup >= 64 ? ~uint64_t{0} : ((uint64_t{1} << inGroup) - 1);
    if (inGroup == 0 || (affinity->Mask & ~valid) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (previous != nullptr) {
        std::memset(previous, 0, sizeof(*previous));
        previous->Group = 0;
        previous->Mask = CurrentMask(0);
    }
    if (!PinCurrentThread(affinity->Group, affinity->Mask)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size) {
    if (module != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);  // only the running executable is known
        return 0;
    }
    std::wstring path;
    {
        std::lock_guard lock(gModulePathMutex);
        path = gModulePathOverride;
    }
    if (path.empty()) {
        char buffer[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        if (n <= 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        path = DecodeUtf8(std::string_view(buffer, static_cast<size_t>(n)));
    }
    if (size == 0 || filename == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::wmemcpy(filename, path.data(), size - 1);
        filename[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(filename, path.data(), path.size());
    filename[path.size()] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}
