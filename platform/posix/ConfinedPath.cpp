#include "platform/posix/ConfinedPath.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace tarvos::platform {

namespace {

// Links followed in one resolution before it counts as a loop, as the kernel counts.
constexpr int kMaxLinks = 40;
// Tries of a kernel resolution that a concurrent rename or a signal disturbed.
constexpr int kKernelTries = 8;

// Set once the kernel has said it has no openat2; the walk serves from then on.
std::atomic<bool> kernelLacksOpenat2 {false};

int FlagsFor(OpenFor purpose)
{
    return purpose == OpenFor::Reading ? O_RDONLY | O_NONBLOCK | O_CLOEXEC : O_PATH | O_DIRECTORY | O_CLOEXEC;
}

// -1 with errno set as the kernel's own would be.
int Refuse(int error)
{
    errno = error;
    return -1;
}

int KernelOpen(const std::string& path, int flags)
{
    open_how how {};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = -1;
    for (int attempt = 0; attempt < kKernelTries; ++attempt) {
        fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how));
        if (fd >= 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return static_cast<int>(fd);
}

std::vector<std::string> Components(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

bool ReadLink(int folder, const std::string& name, std::string& target)
{
    char text[PATH_MAX];
    const ssize_t n = ::readlinkat(folder, name.c_str(), text, sizeof(text));
    if (n < 0) {
        return false;
    }
    if (static_cast<size_t>(n) >= sizeof(text)) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.assign(text, static_cast<size_t>(n));
    return true;
}

// The folders a walk stands in, the working directory at the bottom; each
// descriptor is closed when it is left.
class FolderStack {
public:
    FolderStack() = default;
    ~FolderStack()
    {
        for (const int fd : fds_) {
            ::close(fd);
        }
    }
    FolderStack(const FolderStack&) = delete;
    FolderStack& operator=(const FolderStack&) = delete;

    void Push(int fd) { fds_.push_back(fd); }
    // False when the top is the working directory itself.
    bool Pop()
    {
        if (fds_.size() <= 1) {
            return false;
        }
        ::close(fds_.back());
        fds_.pop_back();
        return true;
    }
    int Top() const { return fds_.back(); }

private:
    std::vector<int> fds_;
};

int WalkOpen(const std::string& path, int flags)
{
    if (path.empty()) {
        return Refuse(ENOENT);
    }
    if (path[0] == '/') {
        return Refuse(EXDEV);
    }
    const int start = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (start < 0) {
        return -1;
    }
    FolderStack folders;
    folders.Push(start);
    const std::vector<std::string> initial = Components(path);
    std::deque<std::string> rest(initial.begin(), initial.end());
    int links = 0;
    while (!rest.empty()) {
        const std::string part = std::move(rest.front());
        rest.pop_front();
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            if (!folders.Pop()) {
                return Refuse(EXDEV);
            }
            continue;
        }
        struct stat info {};
        if (::fstatat(folders.Top(), part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return -1;
        }
        if (S_ISLNK(info.st_mode)) {
            std::string target;
            if (++links > kMaxLinks) {
                return Refuse(ELOOP);
            }
            if (!ReadLink(folders.Top(), part, target)) {
                return -1;
            }
            if (target.empty()) {
                return Refuse(ENOENT);
            }
            if (target[0] == '/') {
                return Refuse(EXDEV);
            }
            const std::vector<std::string> expanded = Components(target);
            rest.insert(rest.begin(), expanded.begin(), expanded.end());
            continue;
        }
        // O_NOFOLLOW: a component swapped for a link since it was looked at
        // fails here instead of being followed.
        if (rest.empty()) {
            return ::openat(folders.Top(), part.c_str(), flags | O_NOFOLLOW);
        }
        const int next = ::openat(folders.Top(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            return -1;
        }
        folders.Push(next);
    }
    // The path ended in a folder ("sub/.", or a link to a folder).
    return ::openat(folders.Top(), ".", flags);
}

}  // namespace

FileStatus FileStatusOf(int error)
{
    switch (error) {
    case 0:
        return FileStatus::Ok;
    case ENOENT:
    case ENOTDIR:
        return FileStatus::Missing;
    case EXDEV:
        return FileStatus::Outside;
    case ENOSPC:
    case EDQUOT:
        return FileStatus::NoSpace;
    default:
        return FileStatus::Failed;
    }
}

int OpenBeneath(const std::string& path, OpenFor purpose, FileStatus& status, Resolver resolver)
{
    const int flags = FlagsFor(purpose);
    int fd = -1;
    if (resolver == Resolver::Kernel && !kernelLacksOpenat2) {
        fd = KernelOpen(path, flags);
        if (fd < 0 && errno == ENOSYS) {
            kernelLacksOpenat2 = true;
        }
    }
    if (resolver == Resolver::Walk || kernelLacksOpenat2) {
        fd = WalkOpen(path, flags);
    }
    status = fd >= 0 ? FileStatus::Ok : FileStatusOf(errno);
    return fd;
}

FileStatus ResolveLeaf(const std::string& path, int& folder, std::string& leaf, Resolver resolver)
{
    folder = -1;
    if (!path.empty() && path[0] == '/') {
        return FileStatus::Outside;
    }
    std::string current = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        const size_t cut = current.rfind('/');
        const std::string parent = cut == std::string::npos ? "." : current.substr(0, cut + 1);
        const std::string name = cut == std::string::npos ? current : current.substr(cut + 1);
        FileStatus status = FileStatus::Ok;
        if (name.empty() || name == "." || name == "..") {
            // A folder, never a file: refused, unless it lies outside.
            const int fd = OpenBeneath(current.empty() ? "." : current, OpenFor::Folder, status, resolver);
            if (fd < 0) {
                return status;
            }
            ::close(fd);
            return FileStatus::Failed;
        }
        const int dir = OpenBeneath(parent, OpenFor::Folder, status, resolver);
        if (dir < 0) {
            return status;
        }
        struct stat info {};
        if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno != ENOENT) {
            const int error = errno;
            ::close(dir);
            return FileStatusOf(error);
        }
        // Nothing there yet (a new file), or no link.
        if (!S_ISLNK(info.st_mode)) {
            folder = dir;
            leaf = name;
            return FileStatus::Ok;
        }
        std::string target;
        const bool read = ReadLink(dir, name, target);
        const int error = errno;
        ::close(dir);
        if (!read) {
            return FileStatusOf(error);
        }
        if (target.empty()) {
            return FileStatus::Missing;
        }
        if (target[0] == '/') {
            return FileStatus::Outside;
        }
        current = (cut == std::string::npos ? std::string() : current.substr(0, cut + 1)) + target;
    }
    return FileStatus::Failed;
}

}  // namespace tarvos::platform
