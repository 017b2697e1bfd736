// MMEM:DATA and MMEM:DATA?: files as definite-length blocks; the two fixed
// mass-storage queries.
#include <cstdio>
#include <memory>

#include "instrument/FileNames.h"
#include "net/Connection.h"
#include "platform/File.h"

namespace tarvos {

namespace {

// Each part of an answer carries at most kChunk bytes; the file is read a burst
// of such parts at a time, and a burst leaves in one gather send.
constexpr size_t kChunk = 4096;
constexpr size_t kBurst = kChunk * Channel::kBurstParts;

}  // namespace

int Connection::ReadFileQuery(const std::string&, uint8_t& delimiter)
{
    std::string name;
    const int named = ExpectString(name, delimiter);
    if (named <= 0) {
        return named;
    }
    platform::InputFile file;
    // Names that leave the working directory are refused before anything opens.
    if (!IsConfinedFileName(name)) {
        errorQueue.PushError(FormatError(-257));
        std::printf("Can not open file!\n");
        return 1;
    }
    if (!file.Open(name)) {
        errorQueue.PushError(FormatError(-256));
        std::printf("Can not open file!\n");
        return 1;
    }
    uint64_t length = 0;
    if (!file.Length(length)) {
        errorQueue.PushError(FormatError(-250, "Can not read file length!"));
        std::printf("Can not read file length!\n");
        return 1;
    }
    char lengthText[24];
    const int digits = std::snprintf(lengthText, sizeof(lengthText), "%llu", static_cast<unsigned long long>(length));
    char blockHeader[32];
    const int headerLength = std::snprintf(blockHeader, sizeof(blockHeader), "#%d%s", digits, lengthText);
    int result = channel.SendResponseData(blockHeader, static_cast<uint32_t>(headerLength));

    const std::unique_ptr<uint8_t[]> burst(new uint8_t[kBurst]);
    uint64_t left = length;
    while (result > 0 && left > 0) {
        const size_t want = left < kBurst ? static_cast<size_t>(left) : kBurst;
        const long got = file.Read(burst.get(), want);
        // A failed read, or a file that shrank since its length was taken, ends
        // the answer early.
        if (got <= 0) {
            break;
        }
        result = channel.SendResponseDataBurst(burst.get(), static_cast<uint32_t>(got), kChunk);
        left -= static_cast<uint64_t>(got);
    }
    if (result > 0) {
        channel.SendResponseEnd("\n", 1);
    }
    return result;
}

int Connection::WriteFile(const std::string&, uint8_t& delimiter)
{
    std::string name;
    const int named = ExpectString(name, delimiter);
    if (named <= 0) {
        return named;
    }
    const uint8_t* data = nullptr;
    const int length = ExpectBlock(data, delimiter);
    if (length <= 0) {
        return length;
    }
    if (!IsConfinedFileName(name)) {
        errorQueue.PushError(FormatError(-257));
        std::printf("Cannot write file\n\n");
        return 1;
    }
    platform::OutputFile file;
    if (file.Create(name)) {
        file.Write(data, static_cast<size_t>(length));
        file.Close();
    } else {
        errorQueue.PushError(FormatError(-258, "Cannot write file"));
        std::printf("Cannot write file\n\n");
    }
    return 1;
}

int Connection::MassStorageQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse("C:", delimiter);
}

int Connection::CurrentDirectoryQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse("\\", delimiter);
}

}  // namespace tarvos
