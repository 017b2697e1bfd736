// Files that clients read and write, named relative to the working directory
// and confined beneath it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvos::platform {

// How an operation on a client file ended.
enum class FileStatus {
    Ok,
    // The name, or a folder on its way, does not exist.
    Missing,
    // The name, or a link it passes through, leads out of the working
    // directory, or it is no name of a file there (a device, a drive).
    Outside,
    // The file system or the quota is full.
    NoSpace,
    // Any other refusal: permissions, the kind of file, a loop of links, I/O.
    Failed,
};

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens an existing regular file for binary reading. A name that is no
    // plain name of a file beneath the working directory is Outside.
    FileStatus Open(const std::string& name);
    bool Length(uint64_t& length);
    // Bytes read, 0 at the end of the file, -1 on failure.
    long Read(void* buffer, size_t length);
    void Close();

private:
    // The file's descriptor or handle; -1 when none is open.
    std::intptr_t fd_ = -1;
};

// A file written under a temporary name in its target's folder. Commit puts it
// in the target's place in one step, so the target is only ever the old file or
// the whole new one; a file not committed is removed, and the target stays.
class ReplacementFile {
public:
    // Every temporary name begins with this; a process killed while writing
    // may leave such a file behind, never a half-written target.
    static constexpr char kTemporaryPrefix[] = ".tarvos-part-";

    ReplacementFile() = default;
    // Removes a temporary file that was not committed.
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Resolves the target and creates the temporary file next to it. An
    // existing target must be a regular file that this process may write; the
    // new file takes over its permissions (and its owner, where allowed).
    FileStatus Create(const std::string& name);
    // Appends all bytes. After a failure the temporary file is already gone.
    FileStatus Write(const void* data, size_t length);
    // Closes the file and renames it over the target.
    FileStatus Commit();
    // Closes and removes the temporary file, if there is one.
    void Abandon();

private:
    // Abandons and reports the error that made it necessary.
    FileStatus Fail(int error);

    // The target's folder and the temporary file: descriptors or handles, -1
    // when none is open; the target's and the temporary file's names.
    std::intptr_t folder_ = -1;
    std::intptr_t fd_ = -1;
    std::string leaf_;
    std::string temporary_;
};

}  // namespace tarvos::platform
