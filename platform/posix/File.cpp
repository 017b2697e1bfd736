#include "platform/File.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/ConfinedPath.h"
#include "platform/posix/DeferredClose.h"

namespace tarvos::platform {

namespace {

// Tries of a temporary name before the folder counts as unwritable.
constexpr int kNameTries = 100;
// How much of the target's name a temporary name carries, to tell what it was for.
constexpr size_t kLeafShown = 100;

// Numbers the temporary files of this process.
std::atomic<unsigned> temporarySequence {0};

}  // namespace

InputFile::~InputFile()
{
    Close();
}

FileStatus InputFile::Open(const std::string& name)
{
    Close();
    FileStatus status = FileStatus::Ok;
    fd_ = OpenBeneath(name, OpenFor::Reading, status);
    if (fd_ < 0) {
        return status;
    }
    struct stat info {};
    // A folder, a FIFO or a device is no file a client can read back.
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        Close();
        return FileStatus::Failed;
    }
    return FileStatus::Ok;
}

bool InputFile::Length(uint64_t& length)
{
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
        return false;
    }
    length = static_cast<uint64_t>(info.st_size);
    return true;
}

long InputFile::Read(void* buffer, size_t length)
{
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(n);
    }
}

void InputFile::Close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

ReplacementFile::~ReplacementFile()
{
    Abandon();
}

FileStatus ReplacementFile::Create(const std::string& name)
{
    Abandon();
    int folder = -1;
    const FileStatus resolved = ResolveLeaf(name, folder, leaf_);
    if (resolved != FileStatus::Ok) {
        return resolved;
    }
    folder_ = folder;
    // An existing target must be a regular file (nothing else is opened), and
    // one that this process could open to overwrite in place.
    struct stat target {};
    const bool exists = ::fstatat(folder_, leaf_.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) {
        return Fail(errno);
    }
    if (exists) {
        if (!S_ISREG(target.st_mode)) {
            return Fail(EISDIR);
        }
        const int writable = ::openat(folder_, leaf_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (writable < 0) {
            return Fail(errno);
        }
        const bool regular = ::fstat(writable, &target) == 0 && S_ISREG(target.st_mode);
        ::close(writable);
        if (!regular) {
            return Fail(EISDIR);
        }
    }
    for (int attempt = 0; attempt < kNameTries && fd_ < 0; ++attempt) {
        temporary_ = std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" +
                     std::to_string(++temporarySequence) + "-" + leaf_.substr(0, kLeafShown);
        fd_ = ::openat(folder_, temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0 && errno != EEXIST) {
            const int error = errno;
            temporary_.clear();
            return Fail(error);
        }
    }
    if (fd_ < 0) {
        temporary_.clear();
        return Fail(EEXIST);
    }
    if (exists) {
        // Best effort: a process that may not give files away keeps them.
        [[maybe_unused]] const int owned = ::fchown(fd_, target.st_uid, target.st_gid);
        [[maybe_unused]] const int moded = ::fchmod(fd_, target.st_mode & 07777);
    }
    return FileStatus::Ok;
}

FileStatus ReplacementFile::Write(const void* data, size_t length)
{
    if (fd_ < 0) {
        return FileStatus::Failed;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd_, bytes + written, length - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fail(errno);
        }
        if (n == 0) {
            return Fail(EIO);
        }
        written += static_cast<size_t>(n);
    }
    return FileStatus::Ok;
}

FileStatus ReplacementFile::Commit()
{
    if (fd_ < 0) {
        return FileStatus::Failed;
    }
    // The file system may report a failed write only now. EINTR leaves the
    // descriptor closed and the data written.
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0 && errno != EINTR) {
        return Fail(errno);
    }
    // Only a regular file is ever replaced: a folder (or anything else) that
    // stands at the target now is left where it is.
    struct stat standing {};
    if (::fstatat(folder_, leaf_.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(standing.st_mode)) {
        return Fail(EISDIR);
    }
    // An existing target trades places with the new file, and the old one,
    // now under the temporary name, is removed after. (Renaming over the
    // target would make some file systems write the new file out first.)
    if (::renameat2(folder_, temporary_.c_str(), folder_, leaf_.c_str(), RENAME_EXCHANGE) == 0) {
        // Something other than a regular file may have taken the target's
        // place since the look above: it trades places back.
        if (::fstatat(folder_, temporary_.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(standing.st_mode)) {
            if (::renameat2(folder_, temporary_.c_str(), folder_, leaf_.c_str(), RENAME_EXCHANGE) == 0) {
                return Fail(EISDIR);
            }
            // It can't go back (it was moved meanwhile): whatever is at the
            // temporary name now is not ours to remove.
            temporary_.clear();
            return Fail(EISDIR);
        }
        // Its pages are freed when its last reference goes: that one is
        // closed in the background.
        const int old = ::openat(folder_, temporary_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        Abandon();
        CloseInBackground(old);
        return FileStatus::Ok;
    }
    if (::renameat(folder_, temporary_.c_str(), folder_, leaf_.c_str()) != 0) {
        return Fail(errno);
    }
    temporary_.clear();
    Abandon();
    return FileStatus::Ok;
}

void ReplacementFile::Abandon()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlinkat(folder_, temporary_.c_str(), 0);
        temporary_.clear();
    }
    if (folder_ >= 0) {
        ::close(folder_);
        folder_ = -1;
    }
}

FileStatus ReplacementFile::Fail(int error)
{
    Abandon();
    const FileStatus status = FileStatusOf(error);
    // Whatever went wrong, the file was not written.
    return status == FileStatus::Ok ? FileStatus::Failed : status;
}

}  // namespace tarvos::platform
