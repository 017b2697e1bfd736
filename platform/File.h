// Files that clients read and write, relative to the working directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvos::platform {

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens an existing regular file for binary reading.
    bool Open(const std::string& name);
    bool Length(uint64_t& length);
    // Bytes read, 0 at the end of the file, -1 on failure.
    long Read(void* buffer, size_t length);
    void Close();

private:
    int fd_ = -1;
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file, or replaces its contents when it exists, for binary
    // writing: after Close it holds exactly the bytes written.
    bool Create(const std::string& name);
    // Writes all bytes; false when the file system refused some.
    bool Write(const void* data, size_t length);
    void Close();

private:
    int fd_ = -1;
    uint64_t written_ = 0;
};

}  // namespace tarvos::platform
