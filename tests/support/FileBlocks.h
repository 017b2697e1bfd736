// Helpers of the file-transfer tests: definite-length blocks, test patterns,
// files on disk and the server's temporary upload files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tarvos::test {

// The name prefix of a file that an upload is still writing.
inline constexpr char kPartPrefix[] = ".tarvos-part-";

// "#<digits><length>" for a block of length bytes.
inline std::string BlockHeader(uint64_t length)
{
    const std::string digits = std::to_string(length);
    return "#" + std::to_string(digits.size()) + digits;
}

inline std::string BlockOf(const std::string& data)
{
    return BlockHeader(data.size()) + data;
}

// The byte at position i of a pattern covering every value, not repeating
// with the 4096-byte part size; seed tells two patterns apart.
inline char PatternByte(uint64_t i, unsigned seed = 0)
{
    return static_cast<char>((i * 131 + (i >> 12) + seed * 7) & 0xFF);
}

inline std::string Pattern(size_t size, unsigned seed = 0)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = PatternByte(i, seed);
    return data;
}

// 64-bit FNV-1a, fed piece by piece.
class Checksum {
public:
    void Add(const char* data, size_t length)
    {
        for (size_t i = 0; i < length; ++i) {
            value_ = (value_ ^ static_cast<uint8_t>(data[i])) * 0x100000001B3ull;
        }
    }
    void Add(const std::string& data) { Add(data.data(), data.size()); }
    uint64_t Value() const { return value_; }

private:
    uint64_t value_ = 0xCBF29CE484222325ull;
};

inline std::string ReadDisk(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteDisk(const std::filesystem::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// Checksum and size of a file, read in pieces.
inline uint64_t ChecksumOfFile(const std::filesystem::path& path, uint64_t* size = nullptr)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> piece(size_t{1} << 20);
    Checksum sum;
    uint64_t total = 0;
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto n = static_cast<size_t>(in.gcount());
        sum.Add(piece.data(), n);
        total += n;
    }
    if (size != nullptr) *size = total;
    return sum.Value();
}

// The upload files left in folder (not below it).
inline std::vector<std::string> PartFiles(const std::filesystem::path& folder)
{
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kPartPrefix, 0) == 0) found.push_back(name);
    }
    return found;
}

// base/outside.txt, base/outdir/existing.txt and base/work (the working
// directory of the cases) with inside.txt, sub/x.txt and links that lead
// out of it (to_*, chain, sub/up, down_up, parent, loop) or stay inside
// (in_link, in_dir, dangling_in, sub/back, sub/to_work, down_in).
inline void MakeLinkFarm(const std::filesystem::path& base)
{
    namespace fs = std::filesystem;
    const fs::path work = base / "work";
    fs::create_directories(work / "sub");
    fs::create_directories(base / "outdir");
    WriteDisk(base / "outside.txt", "keep me");
    WriteDisk(base / "outdir" / "existing.txt", "keep me too");
    WriteDisk(work / "inside.txt", "inside");
    WriteDisk(work / "sub" / "x.txt", "x");

    fs::create_symlink(base / "outside.txt", work / "to_file");
    fs::create_symlink("../outside.txt", work / "to_file_rel");
    fs::create_directory_symlink(base / "outdir", work / "to_dir");
    fs::create_symlink(base / "missing.txt", work / "to_missing");
    fs::create_symlink("../missing.txt", work / "to_missing_rel");
    fs::create_symlink("to_file_rel", work / "chain");
    fs::create_symlink("../../outside.txt", work / "sub" / "up");
    fs::create_symlink("sub/../../outside.txt", work / "down_up");
    fs::create_symlink("..", work / "parent");
    fs::create_symlink("loop", work / "loop");

    fs::create_symlink("inside.txt", work / "in_link");
    fs::create_directory_symlink("sub", work / "in_dir");
    fs::create_symlink("fresh.bin", work / "dangling_in");
    fs::create_symlink("../inside.txt", work / "sub" / "back");
    fs::create_symlink("..", work / "sub" / "to_work");
    fs::create_symlink("sub/../inside.txt", work / "down_in");
}

}  // namespace tarvos::test
