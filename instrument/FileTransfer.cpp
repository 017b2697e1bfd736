// MMEM:DATA and MMEM:DATA?: files as definite-length blocks; the two fixed
// mass-storage queries.
#include <cstdio>
#include <memory>

#include "instrument/BlockSink.h"
#include "instrument/FileNames.h"
#include "instrument/Instrument.h"
#include "platform/Console.h"
#include "platform/File.h"

namespace tarvos {

namespace {

using platform::FileStatus;

// Each part of an answer carries at most kChunk bytes; the file is read a burst
// of such parts at a time, and a burst leaves in one gather send (the first
// one with the block header in front).
constexpr size_t kChunk = 4096;
constexpr size_t kBurstParts = 32;
constexpr size_t kBurst = kChunk * kBurstParts;
static_assert(kBurstParts + 1 <= ResponseWriter::kMaxResponseParts);

// What a name allows before anything is opened: an empty name names nothing
// (emptyStatus), and a name that is absolute, climbs out with "..", or names
// a file that an upload is still writing is refused.
FileStatus AdmitName(const std::string& name, FileStatus emptyStatus)
{
    if (name.empty()) {
        return emptyStatus;
    }
    return IsConfinedFileName(name) ? FileStatus::Ok : FileStatus::Outside;
}

// Stores a block while it arrives in a replacement of the target file, which
// takes the target's place only when the whole block has been written.
class FileUpload final : public BlockSink {
public:
    explicit FileUpload(const std::string& name) : name_(name) {}

    void Begin(uint32_t length) override
    {
        declared_ = length;
        // An empty name can't be written.
        status_ = AdmitName(name_, FileStatus::Failed);
        if (status_ == FileStatus::Ok) {
            status_ = file_.Create(name_);
        }
    }
    void Take(const uint8_t* data, size_t length) override
    {
        received_ += length;
        // After a failure the rest of the block is still read, and dropped.
        if (status_ == FileStatus::Ok) {
            status_ = file_.Write(data, length);
        }
    }

    bool Whole() const { return received_ == declared_; }
    // Puts the file in the target's place; how storing went.
    FileStatus Finish() { return status_ == FileStatus::Ok ? file_.Commit() : status_; }

private:
    const std::string& name_;
    platform::ReplacementFile file_;
    FileStatus status_ = FileStatus::Failed;
    uint64_t declared_ = 0;
    uint64_t received_ = 0;
};

}  // namespace

int Instrument::ReadFileQuery(const std::string&, uint8_t& delimiter)
{
    std::string name;
    const int named = ExpectString(name, delimiter);
    if (named <= 0) {
        return named;
    }
    platform::InputFile file;
    FileStatus opened = AdmitName(name, FileStatus::Missing);
    if (opened == FileStatus::Ok) {
        opened = file.Open(name);
    }
    if (opened != FileStatus::Ok) {
        errorQueue.PushError(FormatError(opened == FileStatus::Outside ? -257 : -256));
        platform::ConsolePrint("Can not open file!\n");
        return 1;
    }
    uint64_t length = 0;
    if (!file.Length(length)) {
        errorQueue.PushError(FormatError(-250, "Can not read file length!"));
        platform::ConsolePrint("Can not read file length!\n");
        return 1;
    }
    char lengthText[24];
    const int digits = std::snprintf(lengthText, sizeof(lengthText), "%llu", static_cast<unsigned long long>(length));
    char blockHeader[32];
    const int headerLength = std::snprintf(blockHeader, sizeof(blockHeader), "#%d%s", digits, lengthText);

    // Before each burst the channel is asked whether anybody still takes the
    // answer. Once nobody does (a device clear, new input that made the answer
    // late), the burst in hand is dropped and the rest of the file never read;
    // a failed send (the connection closed or broke) ends it the same way.
    const std::unique_ptr<uint8_t[]> burst(new uint8_t[kBurst]);
    platform::SendSlice parts[kBurstParts + 1];
    parts[0] = {blockHeader, static_cast<size_t>(headerLength)};
    size_t count = 1;
    uint64_t left = length;
    Answered result = Answered::Sent;
    for (;;) {
        const size_t want = left < kBurst ? static_cast<size_t>(left) : kBurst;
        // A failed read, or a file that shrank since its length was taken, ends
        // the answer early.
        const long got = want > 0 ? file.Read(burst.get(), want) : 0;
        const size_t taken = got > 0 ? static_cast<size_t>(got) : 0;
        for (size_t offset = 0; offset < taken; offset += kChunk) {
            parts[count++] = {burst.get() + offset, taken - offset < kChunk ? taken - offset : kChunk};
        }
        if (count > 0) {
            result = responses.SendResponseParts(parts, static_cast<uint32_t>(count));
        }
        count = 0;
        left -= taken;
        if (result != Answered::Sent || taken == 0 || left == 0) {
            break;
        }
    }
    // Parts that nobody takes leave the decision to the final part: dropped
    // in a device clear, Interrupted when late.
    if (GoesOn(result)) {
        responses.SendResponseEnd("\n", 1);
    }
    return HandlerResult(result);
}

int Instrument::WriteFile(const std::string&, uint8_t& delimiter)
{
    std::string name;
    const int named = ExpectString(name, delimiter);
    if (named <= 0) {
        return named;
    }
    // A block that does not arrive whole (malformed, empty, ended by a device
    // clear or a closed connection, cut short) leaves the target as it was.
    FileUpload upload(name);
    const int received = ExpectBlock(upload, delimiter);
    if (received <= 0) {
        return received;
    }
    // The server's budget for block buffers was spent: the block was read and
    // dropped, the target left as it was.
    if (parser.BlockRefused()) {
        errorQueue.PushError(FormatError(-225));
        platform::ConsolePrint("Cannot write file\n\n");
        return 1;
    }
    if (!upload.Whole()) {
        errorQueue.PushError(FormatError(-161));
        return 1;
    }
    switch (upload.Finish()) {
    case FileStatus::Ok:
        return 1;
    case FileStatus::Outside:
        errorQueue.PushError(FormatError(-257));
        break;
    case FileStatus::NoSpace:
        errorQueue.PushError(FormatError(-254));
        break;
    default:
        errorQueue.PushError(FormatError(-258, "Cannot write file"));
        break;
    }
    platform::ConsolePrint("Cannot write file\n\n");
    return 1;
}

int Instrument::MassStorageQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse("C:", delimiter);
}

int Instrument::CurrentDirectoryQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse("\\", delimiter);
}

}  // namespace tarvos
