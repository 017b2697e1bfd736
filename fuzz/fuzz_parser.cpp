// Fuzz target: the program-message tokenizer and the parameter parsers of one
// channel, without a worker: the harness thread itself calls them while a
// writer thread sends the input as Data/DataEnd payloads over a socket pair.
//
// Input: byte 0 gives the number k of operation bytes (1 + byte0 % 16); the next
// k bytes choose the operations, used in turn until one returns 0 or less; the
// byte after them frames the payload (bits 0 to 6: bytes per message, 0 for one
// message; bit 7 set: the last message is a Data, so no end is signalled); the
// rest is the payload.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "hislip/Channel.h"
#include "hislip/MessageHeader.h"
#include "instrument/ErrorQueue.h"

using namespace tarvos;

namespace {

constexpr size_t kTokenLimit = 256;

[[noreturn]] void Broken(const char* what)
{
    std::fprintf(stderr, "tarvos fuzz harness: %s\n", what);
    std::abort();
}

std::vector<uint8_t> Frame(const uint8_t* payload, size_t size, uint8_t control)
{
    const size_t per = (control & 0x7F) != 0 ? (control & 0x7F) : (size != 0 ? size : 1);
    const bool endLast = (control & 0x80) == 0;
    std::vector<uint8_t> stream;
    // Program messages count only on a session's synchronous channel.
    static const uint8_t kSubAddress[] = {'h', 'i', 's', 'l', 'i', 'p', '0'};
    fuzz::AppendMessage(stream, static_cast<uint8_t>(MessageType::Initialize), 0, 0x01005A5Au, kSubAddress,
                        sizeof(kSubAddress));
    uint32_t messageId = 0xFFFFFF00u;
    size_t at = 0;
    do {
        const size_t n = size - at < per ? size - at : per;
        const bool last = at + n >= size;
        const auto type = static_cast<uint8_t>(last && endLast ? MessageType::DataEnd : MessageType::Data);
        fuzz::AppendMessage(stream, type, 0, messageId, payload + at, n);
        messageId += 2;
        at += n;
    } while (at < size);
    return stream;
}

// One parser operation chosen by the byte; its result.
long RunOperation(Channel& channel, uint8_t op)
{
    uint8_t delimiter = 0;
    switch (op % 7) {
    case 0: {
        std::string token;
        const long r = channel.NextToken(token, delimiter, (op & 0x08) != 0);
        if (token.size() > kTokenLimit) {
            Broken("NextToken returned a token longer than one peek");
        }
        return r;
    }
    case 1: {
        static const uint8_t kStops[] = {'\n', ';', ',', '"'};
        return channel.SkipThrough(kStops[(op >> 3) & 3]);
    }
    case 2: {
        int32_t value = 0;
        delimiter = (op & 0x08) != 0 ? ',' : ' ';
        return channel.ParseInteger(value, delimiter);
    }
    case 3: {
        std::string text;
        const long r = channel.ParseQuotedString(text, delimiter);
        if (text.size() > kTokenLimit) {
            Broken("ParseQuotedString returned more than one peek holds");
        }
        return r;
    }
    case 4: {
        // The sink checks that the block's data arrives as announced.
        struct Checked final : BlockSink {
            void Begin(uint32_t length) override
            {
                if (begun || length == 0 || length > kBlockLengthLimit) {
                    Broken("ParseBlock began a block twice, empty or over the limit");
                }
                begun = true;
                declared = length;
            }
            void Take(const uint8_t* data, size_t length) override
            {
                if (!begun || length == 0 || length > kBlockBufferSize || taken + length > declared) {
                    Broken("ParseBlock handed over data it did not announce");
                }
                // Every byte it hands over must be readable.
                volatile uint8_t sum = 0;
                for (size_t i = 0; i < length; ++i) {
                    sum = static_cast<uint8_t>(sum + data[i]);
                }
                taken += length;
            }
            bool begun = false;
            uint64_t declared = 0;
            uint64_t taken = 0;
        } sink;
        const long r = channel.ParseBlock(sink, delimiter);
        if (r > 0 && static_cast<uint64_t>(r) != sink.taken) {
            Broken("ParseBlock counted other data than it handed over");
        }
        return r;
    }
    case 5: {
        uint8_t bytes[kLookAheadSize + 8];
        const uint32_t n = static_cast<uint32_t>(op >> 3) * 9;
        const long r = channel.PeekBytes(bytes, n);
        if (r > static_cast<long>(n)) {
            Broken("PeekBytes returned more than asked");
        }
        return r;
    }
    default: {
        uint8_t bytes[512];
        bool end = false;
        const uint64_t n = 1 + (static_cast<uint64_t>(op >> 3) * 17) % (sizeof(bytes) - 1);
        const long r = channel.ReadBytes(bytes, n, end);
        if (r > static_cast<long>(n)) {
            Broken("ReadBytes returned more than asked");
        }
        return r;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Server& server = fuzz::QuietServer();
    if (size < 2) {
        return 0;
    }
    const size_t opCount = 1 + data[0] % 16;
    if (size < 2 + opCount) {
        return 0;
    }
    const uint8_t* ops = data + 1;
    const uint8_t control = data[1 + opCount];
    const uint8_t* payload = data + 2 + opCount;
    const size_t payloadSize = size - 2 - opCount;

    const fuzz::SocketPair pair = fuzz::MakeSocketPair();
    const std::vector<uint8_t> stream = Frame(payload, payloadSize, control);
    std::thread writer([&] {
        size_t sent = 0;
        while (sent < stream.size()) {
            const ssize_t n = ::send(pair.harness, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        ::shutdown(pair.harness, SHUT_WR);
    });

    {
        ErrorQueue queue;
        const std::atomic<platform::SocketHandle> socket {pair.server};
        auto channel = std::make_unique<Channel>(server.engine, socket);
        channel->AttachErrorQueue(queue);
        // A peek consumes nothing: operations made of peeks alone run once each.
        bool consumes = false;
        for (size_t k = 0; k < opCount; ++k) {
            consumes = consumes || ops[k] % 7 != 5;
        }
        for (size_t k = 0; consumes || k < opCount; ++k) {
            if (RunOperation(*channel, ops[k % opCount]) <= 0) {
                break;
            }
        }
        // The parsers may stop before the input does: let the writer finish.
        ::shutdown(pair.server, SHUT_RDWR);
    }
    writer.join();
    ::close(pair.harness);
    ::close(pair.server);
    return 0;
}
