// The list files: round trip, writing only what changed, atomic replacement (stray
// temporary files, interrupted writes), malformed lines, and failures to write or read.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "control/AtomicFile.h"
#include "control/IpListManager.h"
#include "tests/control/ListTestSupport.h"

namespace bastion {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ListFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bastion-lists-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

    std::string Read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }

    // Files in the directory other than the two lists.
    std::vector<std::string> OtherFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            std::string name = entry.path().filename().string();
            if (name != "allow.txt" && name != "block.txt") names.push_back(name);
        }
        return names;
    }

    std::unique_ptr<IpListManager> Lists() const {
        auto lists = std::make_unique<IpListManager>();
        lists->SetStorageDirectory(dir_.string());
        return lists;
    }

    fs::path dir_;
};

TEST_F(ListFiles, RoundTripKeepsBothListsAndExpiries) {
    auto lists = Lists();
    lists->AddAllowed(Ip(10, 0, 0, 2));
    lists->AddAllowed(Ip(10, 0, 0, 1));
    lists->SetFirewallBlockDuration(3600s);
    lists->AddToBlock(Ip(203, 0, 113, 7), kT0);
    lists->SetFirewallBlockDuration(0s);
    lists->AddToBlock(Ip(198, 51, 100, 1), kT0);
    ASSERT_TRUE(lists->FlushToFiles()) << lists->LastError();

    EXPECT_EQ(Read("allow.txt"),
              "# Bastion allow list: one IPv4 address per line\n10.0.0.1\n10.0.0.2\n");
    EXPECT_EQ(Read("block.txt"),
              "# Bastion block list: address, then expiry in UTC or never\n"
              "198.51.100.1 never\n"
              "203.0.113.7 2026-12-06T19:00:00Z\n");
    EXPECT_TRUE(OtherFiles().empty());

    auto loaded = Lists();
    EXPECT_TRUE(loaded->LoadFromFiles(kT0).empty());
    EXPECT_EQ(loaded->AllowedList(), lists->AllowedList());
    auto blocks = loaded->BlockedList();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, Ip(198, 51, 100, 1));
    EXPECT_EQ(blocks[0].expiresAt, 0);
    EXPECT_EQ(blocks[1].address, Ip(203, 0, 113, 7));
    EXPECT_EQ(blocks[1].expiresAt, kT0 + Seconds(3600));
    EXPECT_TRUE(loaded->IsBlockedLockFree(Ip(203, 0, 113, 7)));
    EXPECT_TRUE(loaded->IsAllowedLockFree(Ip(10, 0, 0, 2)));
}

TEST_F(ListFiles, FlushWritesOnlyTheListsThatChanged) {
    auto lists = Lists();
    lists->AddAllowed(Ip(10, 0, 0, 1));
    lists->AddToBlock(Ip(203, 0, 113, 7), kT0);
    ASSERT_TRUE(lists->FlushToFiles());
    fs::remove(dir_ / "allow.txt");
    fs::remove(dir_ / "block.txt");

    ASSERT_TRUE(lists->FlushToFiles());
    EXPECT_FALSE(fs::exists(dir_ / "allow.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "block.txt"));

    lists->AddToBlock(Ip(203, 0, 113, 8), kT0);
    ASSERT_TRUE(lists->FlushToFiles());
    EXPECT_FALSE(fs::exists(dir_ / "allow.txt"));
    EXPECT_TRUE(fs::exists(dir_ / "block.txt"));

    // Refusals and repeats change nothing; expiry does.
    fs::remove(dir_ / "block.txt");
    lists->AddToBlock(Ip(203, 0, 113, 8), kT0);
    lists->AddToBlock(Ip(10, 0, 0, 1), kT0);
    ASSERT_TRUE(lists->FlushToFiles());
    EXPECT_FALSE(fs::exists(dir_ / "block.txt"));
    lists->ExpireEntries(kT0 + Seconds(100'000));
    ASSERT_TRUE(lists->FlushToFiles());
    EXPECT_EQ(Read("block.txt"), "# Bastion block list: address, then expiry in UTC or never\n");
}

TEST_F(ListFiles, ExpiredBlocksAreNotLoaded) {
    Write("block.txt",
          "203.0.113.1 2026-12-06T17:59:59Z\n"
          "203.0.113.2 2026-12-06T18:00:00Z\n"
          "203.0.113.3 2026-12-06T18:00:01Z\n");
    auto lists = Lists();
    EXPECT_TRUE(lists->LoadFromFiles(kT0).empty());
    auto blocks = lists->BlockedList();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].address, Ip(203, 0, 113, 3));
}

TEST_F(ListFiles, MalformedLinesAreReportedWithFileAndLineAndGoodLinesKept) {
    Write("allow.txt",
          "# operators' allow list\n"  // 1 comment
          "10.0.0.1\n"                 // 2 good
          "\n"                         // 3 blank
          "10.0.0\n"                   // 4
          "  10.0.0.2\t\r\n"           // 5 good: blanks and CR around it
          "256.0.0.1\n"                // 6
          "010.0.0.3\n"                // 7 leading zero (octal in some parsers)
          "10.0.0.4 10.0.0.5\n"        // 8
          "10.0.0.9");                 // 9 good, no final newline
    Write("block.txt",
          "203.0.113.1 2026-12-06T19:00:00Z\n"  // 1 good
          "203.0.113.2\n"                       // 2
          "203.0.113.3 2026-13-01T00:00:00Z\n"  // 3
          "203.0.113.4 2027-02-29T00:00:00Z\n"  // 4 not a leap year
          "203.0.113.5 2026-12-06 19:00:00\n"   // 5
          "203.0.113.6 never never\n"           // 6
          "10.0.0.1 never\n"                    // 7 allow-listed
          "example.com never\n"                 // 8
              + std::string(300, 'x') +
              "\n"                      // 9 too long
              "203.0.113.10 never\n");  // 10 good
    auto lists = Lists();
    auto problems = lists->LoadFromFiles(kT0);

    struct Expected {
        const char* file;
        size_t line;
        const char* text;
    };
    const Expected expected[] = {
        {"allow.txt", 4, "not an IPv4 address: \"10.0.0\""},
        {"allow.txt", 6, "not an IPv4 address: \"256.0.0.1\""},
        {"allow.txt", 7, "not an IPv4 address: \"010.0.0.3\""},
        {"allow.txt", 8, "unexpected text after the address: \"10.0.0.5\""},
        {"block.txt", 2, "missing expiry"},
        {"block.txt", 3, "bad expiry \"2026-13-01T00:00:00Z\""},
        {"block.txt", 4, "bad expiry \"2027-02-29T00:00:00Z\""},
        {"block.txt", 5, "bad expiry \"2026-12-06\""},
        {"block.txt", 6, "unexpected text after the expiry: \"never\""},
        {"block.txt", 7, "10.0.0.1 is on the allow list"},
        {"block.txt", 8, "not an IPv4 address: \"example.com\""},
        {"block.txt", 9, "line is longer than 200 characters"},
    };
    ASSERT_EQ(problems.size(), std::size(expected));
    for (size_t i = 0; i < problems.size(); ++i) {
        SCOPED_TRACE(problems[i].Describe());
        EXPECT_EQ(problems[i].file, PathOf(expected[i].file));
        EXPECT_EQ(problems[i].line, expected[i].line);
        EXPECT_NE(problems[i].message.find(expected[i].text), std::string::npos);
    }
    EXPECT_EQ(problems[0].Describe(), PathOf("allow.txt") + ":4: not an IPv4 address: \"10.0.0\"");

    EXPECT_EQ(lists->AllowedList(),
              (std::vector<uint32_t>{Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), Ip(10, 0, 0, 9)}));
    auto blocks = lists->BlockedList();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, Ip(203, 0, 113, 1));
    EXPECT_EQ(blocks[1].address, Ip(203, 0, 113, 10));
    // Loading changes nothing on disk: the bad lines stay for the operator to fix.
    ASSERT_TRUE(lists->FlushToFiles());
    EXPECT_NE(Read("allow.txt").find("010.0.0.3"), std::string::npos);
}

TEST_F(ListFiles, StrayTemporaryFileNeverReplacesTheGoodFile) {
    auto lists = Lists();
    lists->SetFirewallBlockDuration(0s);
    lists->AddToBlock(Ip(203, 0, 113, 7), kT0);
    ASSERT_TRUE(lists->FlushToFiles());
    const std::string good = Read("block.txt");

    // A writer killed half-way left its temporary file, and another left a link to the
    // good file under a temporary name.
    Write(".block.txt.tmp-A1b2C3", "203.0.113.99 nev");
    fs::create_symlink(dir_ / "block.txt", dir_ / ".block.txt.tmp-Zz9Yy8");

    auto restarted = Lists();
    EXPECT_TRUE(restarted->LoadFromFiles(kT0).empty());
    EXPECT_EQ(restarted->BlockedList().size(), 1u);
    EXPECT_FALSE(restarted->IsBlockedLockFree(Ip(203, 0, 113, 99)));
    EXPECT_EQ(Read("block.txt"), good);
    EXPECT_TRUE(OtherFiles().empty());  // leftovers are cleared at load

    // Leftovers that appear while running are never written through either.
    fs::create_symlink(dir_ / "block.txt", dir_ / ".block.txt.tmp-Qq1Ww2");
    restarted->SetFirewallBlockDuration(0s);
    restarted->AddToBlock(Ip(203, 0, 113, 8), kT0);
    ASSERT_TRUE(restarted->FlushToFiles());
    EXPECT_NE(Read("block.txt").find("203.0.113.8 never\n"), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(dir_ / ".block.txt.tmp-Qq1Ww2"));
}

TEST_F(ListFiles, InterruptedWriteLeavesTheOldFileAndNoTemporary) {
    Write("block.txt", "203.0.113.7 never\n");
    {
        AtomicFileWriter writer(PathOf("block.txt"));
        ASSERT_TRUE(writer.Open());
        writer.Write("203.0.113.8 nev");
        EXPECT_EQ(OtherFiles().size(), 1u);
        // Abandoned without Commit.
    }
    EXPECT_EQ(Read("block.txt"), "203.0.113.7 never\n");
    EXPECT_TRUE(OtherFiles().empty());
}

TEST_F(ListFiles, ReplacedFileKeepsItsPermissions) {
    Write("allow.txt", "10.0.0.1\n");
    fs::permissions(dir_ / "allow.txt", fs::perms::owner_read | fs::perms::owner_write);
    auto lists = Lists();
    lists->LoadFromFiles(kT0);
    lists->AddAllowed(Ip(10, 0, 0, 2));
    ASSERT_TRUE(lists->FlushToFiles());
    EXPECT_EQ(fs::status(dir_ / "allow.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(ListFiles, WriteFailureIsReportedAndRetriedUntilItSucceeds) {
    auto lists = Lists();
    lists->AddToBlock(Ip(203, 0, 113, 7), kT0);
    fs::create_directory(dir_ / "block.txt");  // rename over a directory fails

    EXPECT_FALSE(lists->FlushToFiles());
    EXPECT_NE(lists->LastError().find("cannot replace " + PathOf("block.txt")), std::string::npos)
        << lists->LastError();
    EXPECT_NE(lists->LastError().find("Is a directory (errno 21)"), std::string::npos);
    EXPECT_TRUE(OtherFiles().empty());

    fs::remove(dir_ / "block.txt");
    EXPECT_TRUE(lists->FlushToFiles());  // still marked changed, so written now
    EXPECT_NE(Read("block.txt").find("203.0.113.7"), std::string::npos);
    EXPECT_EQ(lists->LastError(), "");
}

TEST_F(ListFiles, MissingStorageDirectoryIsReported) {
    auto lists = std::make_unique<IpListManager>();
    lists->SetStorageDirectory((dir_ / "missing").string());
    lists->AddAllowed(Ip(10, 0, 0, 1));
    EXPECT_FALSE(lists->FlushToFiles());
    EXPECT_NE(lists->LastError().find("No such file or directory (errno 2)"), std::string::npos)
        << lists->LastError();
}

TEST_F(ListFiles, FileTooLargeForTheDiskIsReportedAndTheOldFileKept) {
    // A file-size limit stands in for a full disk: write() fails part-way with EFBIG.
    Write("block.txt", "203.0.113.7 never\n");
    auto lists = Lists();
    lists->SetFirewallBlockDuration(0s);
    for (uint32_t address : DistinctAddresses(5000, 9))
        lists->AddToBlock(address, kT0);

    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool flushed = lists->FlushToFiles();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(flushed);
    EXPECT_NE(lists->LastError().find("cannot write"), std::string::npos) << lists->LastError();
    EXPECT_NE(lists->LastError().find("File too large (errno 27)"), std::string::npos);
    EXPECT_EQ(Read("block.txt"), "203.0.113.7 never\n");
    EXPECT_TRUE(OtherFiles().empty());
}

TEST_F(ListFiles, UnreadableFileIsReportedAndItsListLeftAlone) {
    fs::create_directory(dir_ / "allow.txt");
    Write("block.txt", "203.0.113.7 never\n");
    auto lists = Lists();
    lists->AddAllowed(Ip(10, 0, 0, 1));
    auto problems = lists->LoadFromFiles(kT0);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].file, PathOf("allow.txt"));
    EXPECT_EQ(problems[0].line, 0u);
    EXPECT_NE(problems[0].message.find("Is a directory"), std::string::npos);
    EXPECT_EQ(lists->LastError(), problems[0].Describe());
    EXPECT_TRUE(lists->IsAllowedLockFree(Ip(10, 0, 0, 1)));
    EXPECT_TRUE(lists->IsBlockedLockFree(Ip(203, 0, 113, 7)));
}

TEST_F(ListFiles, WithoutStorageDirectoryListsStayInMemory) {
    IpListManager lists;
    lists.AddAllowed(Ip(10, 0, 0, 1));
    EXPECT_TRUE(lists.FlushToFiles());
    EXPECT_TRUE(lists.LoadFromFiles(kT0).empty());
    EXPECT_TRUE(lists.IsAllowedLockFree(Ip(10, 0, 0, 1)));
}

}  // namespace
}  // namespace bastion
