// The receiving side of a channel: the bytes of its connection taken in as few
// receive calls as possible. Small messages arrive header and payload in one
// call and wait here until they are taken; a large payload goes straight into
// the reader's memory. Used by one thread, the channel's worker.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvos {

// Where a ReceiveBuffer takes its bytes from: a connection's socket, or in
// tests bytes held in memory.
class ByteStream {
public:
    // Receives up to length (> 0) bytes into destination, waiting for the
    // first: the count; 0 when the peer has closed; negative on failure (the
    // error of the call that failed is still the last socket error then).
    virtual long ReceiveSome(void* destination, size_t length) = 0;

protected:
    ~ByteStream() = default;
};

// How a take or skip ended.
enum class ReceiveStatus : uint8_t {
    // Every byte asked for was taken.
    Done,
    // The peer closed the connection first.
    Closed,
    // A receive call failed.
    Failed,
};

class ReceiveBuffer {
public:
    // One page: a header with the payload of any small message. A rest of a
    // payload this long or longer is received into the reader's memory.
    static constexpr size_t kCapacity = 4096;

    explicit ReceiveBuffer(ByteStream& stream) : stream_(stream) {}
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    // Takes exactly n bytes into destination: first what the buffer holds, then
    // the rest, received into destination when it is at least kCapacity bytes,
    // else through the buffer, which keeps whatever came beyond them.
    ReceiveStatus Take(uint8_t* destination, uint64_t n);
    // Takes n bytes and throws them away.
    ReceiveStatus Skip(uint64_t n);
    // Bytes received and not yet taken: input seen without a system call.
    size_t Held() const { return end_ - begin_; }
    // Forgets what the buffer holds (the connection is replaced).
    void Reset() { begin_ = end_ = 0; }

private:
    // One receive call into the free end of the buffer.
    ReceiveStatus Fill();

    ByteStream& stream_;
    size_t begin_ = 0;
    size_t end_ = 0;
    // Left uninitialised: an idle connection touches only what it receives.
    uint8_t bytes_[kCapacity];
};

}  // namespace tarvos
