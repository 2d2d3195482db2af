#include "control/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace bastion {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

}  // namespace

std::string ErrnoText(int error) {
    char buffer[256];
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return std::string(text) + " (errno " + std::to_string(error) + ")";
}

std::string AtomicFileWriter::TempPrefix(const std::string& fileName) {
    return "." + fileName + ".tmp-";
}

AtomicFileWriter::AtomicFileWriter(std::string path) : path_(std::move(path)) {}

AtomicFileWriter::~AtomicFileWriter() {
    Discard();
}

bool AtomicFileWriter::Fail(const char* operation, const std::string& path, int error) {
    if (!failed_) error_ = std::string(operation) + " " + path + ": " + ErrnoText(error);
    failed_ = true;
    return false;
}

void AtomicFileWriter::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

bool AtomicFileWriter::Open() {
    std::string pattern = Join(DirectoryOf(path_), TempPrefix(FileNameOf(path_)) + "XXXXXX");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkstemp opens with O_CREAT | O_EXCL: a leftover file or link is never written through.
    int fd = ::mkstemp(name.data());
    if (fd < 0) return Fail("cannot create a temporary file for", path_, errno);
    fd_ = fd;
    tempPath_ = name.data();
    struct stat existing {};
    mode_t mode = 0644;
    if (::stat(path_.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
    if (::fchmod(fd_, mode) != 0) return Fail("cannot set permissions of", tempPath_, errno);
    buffer_.reserve(kBufferBytes);
    return true;
}

bool AtomicFileWriter::FlushBuffer() {
    size_t done = 0;
    while (done < buffer_.size()) {
        ssize_t written = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return Fail("cannot write", tempPath_, errno);
        }
        done += static_cast<size_t>(written);
    }
    buffer_.clear();
    return true;
}

void AtomicFileWriter::Write(std::string_view text) {
    if (failed_ || fd_ < 0) return;
    buffer_.append(text);
    if (buffer_.size() >= kBufferBytes) FlushBuffer();
}

bool AtomicFileWriter::Commit() {
    if (fd_ < 0 && !failed_) return Fail("cannot commit", path_, EBADF);
    bool ok = !failed_ && FlushBuffer();
    if (ok && ::fsync(fd_) != 0) ok = Fail("cannot sync", tempPath_, errno);
    if (fd_ >= 0) {
        int closed = ::close(fd_);
        fd_ = -1;
        if (ok && closed != 0) ok = Fail("cannot close", tempPath_, errno);
    }
    if (ok && ::rename(tempPath_.c_str(), path_.c_str()) != 0) {
        ok = Fail("cannot replace", path_, errno);
    }
    if (!ok) {
        Discard();
        return false;
    }
    tempPath_.clear();
    // Make the rename itself durable. Some file systems refuse to sync a directory; the
    // new content is in place either way.
    int dir = ::open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

size_t RemoveStrayTemporaries(const std::string& directory, const std::string& fileName) {
    const std::string prefix = AtomicFileWriter::TempPrefix(fileName);
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return 0;
    std::vector<std::string> strays;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name.size() == prefix.size() + 6 && name.substr(0, prefix.size()) == prefix) {
            strays.emplace_back(name);
        }
    }
    ::closedir(dir);
    size_t removed = 0;
    for (const std::string& name : strays) {
        if (::unlink(Join(directory, name).c_str()) == 0) ++removed;
    }
    return removed;
}

}  // namespace bastion
