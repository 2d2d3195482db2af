// Processors, affinity, module path, Winsock start-up, clock.
#include <gtest/gtest.h>

#include <string>

#include "platform/Clock.h"
#include "platform/Testing.h"
#include "platform/Win32.h"

namespace {

class ProcessorCount : public ::testing::Test {
  protected:
    void TearDown() override {
        platform::testing::SetProcessorCount(0);
        platform::testing::SetAffinityEnabled(true);
    }
};

TEST_F(ProcessorCount, GroupsFollowTheForcedCount) {
    platform::testing::SetProcessorCount(130);
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    EXPECT_EQ(info.dwNumberOfProcessors, 130u);
    EXPECT_EQ(GetActiveProcessorGroupCount(), 3);
    EXPECT_EQ(GetActiveProcessorCount(0), 64u);
    EXPECT_EQ(GetActiveProcessorCount(2), 2u);
    EXPECT_EQ(GetActiveProcessorCount(3), 0u);
    EXPECT_EQ(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS), 130u);
}

TEST_F(ProcessorCount, AffinityBeyondTheProcessorsFails) {
    platform::testing::SetProcessorCount(4);
    platform::testing::SetAffinityEnabled(false);
    EXPECT_NE(SetThreadAffinityMask(GetCurrentThread(), 1u << 3), 0u);
    SetLastError(0);
    EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 1u << 4), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    GROUP_AFFINITY affinity{};
    affinity.Group = 0;
    affinity.Mask = 1u << 2;
    EXPECT_TRUE(SetThreadGroupAffinity(GetCurrentThread(), &affinity, nullptr));
    affinity.Group = 1;
    EXPECT_FALSE(SetThreadGroupAffinity(GetCurrentThread(), &affinity, nullptr));
}

TEST(Affinity, PinsTheRealThread) {
    // Processor 0 always exists.
    DWORD_PTR previous = SetThreadAffinityMask(GetCurrentThread(), 1);
    ASSERT_NE(previous, 0u);
    EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), previous), 1u);
}

class ModulePath : public ::testing::Test {
  protected:
    void TearDown() override { platform::testing::SetModuleFileName(L""); }
};

TEST_F(ModulePath, RealExecutableIsAnAbsolutePath) {
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, static_cast<DWORD>(MAX_PATH));
    EXPECT_EQ(buffer[0], L'/');
    EXPECT_NE(std::wstring(buffer).find(L"platform_system_test"), std::wstring::npos);
}

TEST_F(ModulePath, TooSmallBufferTruncatesAndFails) {
    platform::testing::SetModuleFileName(L"/opt/bastion/bin/bastion");
    wchar_t buffer[8];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(buffer), L"/opt/ba");

    // Exactly fitting needs room for the terminator too.
    std::wstring path(259, L'x');
    platform::testing::SetModuleFileName(path);
    wchar_t full[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(nullptr, full, MAX_PATH), 259u);
    path.push_back(L'y');
    platform::testing::SetModuleFileName(path);
    EXPECT_EQ(GetModuleFileNameW(nullptr, full, MAX_PATH), static_cast<DWORD>(MAX_PATH));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(Winsock, StartupVersionsFailuresAndCleanupPairing) {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), -1);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), &data), WSAVERNOTSUPPORTED);

    platform::testing::FailWsaStartup(2, WSASYSNOTREADY);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), WSASYSNOTREADY);
    EXPECT_EQ(WSAGetLastError(), WSASYSNOTREADY);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), WSASYSNOTREADY);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(Clock, SteadyShiftMovesForwardOnly) {
    int64_t before = bastion::SteadyNowNs();
    bastion::testing::AdvanceSteadyClock(30 * bastion::kNsPerSecond);
    bastion::testing::AdvanceSteadyClock(-100 * bastion::kNsPerSecond);  // ignored
    int64_t after = bastion::SteadyNowNs();
    EXPECT_GE(after - before, 30 * bastion::kNsPerSecond);
    EXPECT_LT(after - before, 31 * bastion::kNsPerSecond);
    EXPECT_GT(bastion::WallTicksNow(), int64_t{17} * 100'000'000'000'000);  // after 2023
}

}  // namespace

namespace platform {
std::wstring DecodeUtf8ForTesting(std::string_view bytes);
}

namespace {
TEST(ModulePathDecoding, Utf8PathsDecodeToCodePointsAndBadBytesToReplacement) {
    EXPECT_EQ(platform::DecodeUtf8ForTesting("/opt/b\xC3\xA1stion/\xE2\x9C\x93"),
              L"/opt/b\u00E1stion/\u2713");
    EXPECT_EQ(platform::DecodeUtf8ForTesting("a\xF0\x9F\x9A\x80"), L"a\U0001F680");
    EXPECT_EQ(platform::DecodeUtf8ForTesting("x\xFFy\xC3"), L"x\uFFFDy\uFFFD");
    EXPECT_EQ(platform::DecodeUtf8ForTesting("\xC0\xAF"), L"\uFFFD\uFFFD");  // overlong '/'
}
}  // namespace
