// Test seams of the platform layer: values that tests choose instead of the machine's.
// Each setter affects the whole process; pass the "reset" value to restore the real one.
#pragma once

#include <cstdint>
#include <string>

namespace platform::testing {

// Processor count reported by GetSystemInfo and the processor-group calls; 0 = real.
void SetProcessorCount(uint32_t count);

// Path returned by GetModuleFileNameW; empty = the real executable.
void SetModuleFileName(const std::wstring& path);

// The next `count` WSAStartup calls fail with `error`.
void FailWsaStartup(int count, int error);

// Whether affinity calls really change the thread's affinity (false in tests that pin
// to processors the machine does not have). Default true.
void SetAffinityEnabled(bool enabled);

// Resolver configuration the real system's adapter table reads its name servers from;
// empty = /etc/resolv.conf.
void SetResolverConfigPath(const std::string& path);

}  // namespace platform::testing
