// AtomicFileWriter: replaces a file so that a crash or a failed write at any point leaves
// either the old content or the new, never a mix or nothing.
//
// The new content goes to a temporary file in the same directory (".<name>.tmp-XXXXXX",
// created exclusively, so a stray file of that name from an earlier crash is never
// reused or followed), is flushed and fsync'ed, and then renamed over the target; the
// directory is fsync'ed after the rename. On any failure the temporary file is removed
// and the target is untouched. The new file keeps the old one's permission bits (0644
// when there was none).
//
// Failures are reported as text naming the operation, the path and the system's error:
// "cannot write /var/lib/bastion/.block.txt.tmp-Ab12Cd: No space left on device (errno 28)".
//
// Thread-safety: one writer per object; distinct objects may write distinct files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bastion {

class AtomicFileWriter {
  public:
    explicit AtomicFileWriter(std::string path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Creates the temporary file. False on failure (see Error()).
    bool Open();
    // Appends text (buffered). After a failure further writes are ignored.
    void Write(std::string_view text);
    // Flushes, syncs and renames the temporary file over the target.
    bool Commit();
    const std::string& Error() const { return error_; }

    // Prefix of the temporary files for `fileName` (".allow.txt.tmp-").
    static std::string TempPrefix(const std::string& fileName);

  private:
    bool Fail(const char* operation, const std::string& path, int error);
    bool FlushBuffer();
    void Discard();

    std::string path_;
    std::string tempPath_;
    std::string buffer_;
    std::string error_;
    int fd_ = -1;
    bool failed_ = false;
};

// Removes temporary files that an interrupted writer left for `fileName` in `directory`.
// Returns how many were removed.
size_t RemoveStrayTemporaries(const std::string& directory, const std::string& fileName);

// "No space left on device (errno 28)".
std::string ErrnoText(int error);

}  // namespace bastion
