#include "platform/File.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvos::platform {

InputFile::~InputFile()
{
    Close();
}

bool InputFile::Open(const std::string& name)
{
    Close();
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    struct stat info {};
    // A directory or a device is no file a client can read back.
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        Close();
        return false;
    }
    return true;
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

OutputFile::~OutputFile()
{
    Close();
}

bool OutputFile::Create(const std::string& name)
{
    Close();
    // The old contents are cut off once the new ones are written (Close), so
    // rewriting a file reuses its cached pages instead of dropping and
    // allocating them again.
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    written_ = 0;
    return fd_ >= 0;
}

bool OutputFile::Write(const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd_, bytes + written, length - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<size_t>(n);
    }
    written_ += written;
    return true;
}

void OutputFile::Close()
{
    if (fd_ >= 0) {
        [[maybe_unused]] const int cut = ::ftruncate(fd_, static_cast<off_t>(written_));
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace tarvos::platform
