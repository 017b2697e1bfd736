// The byte stream of a channel's connection: receive calls on its socket,
// retried when a signal interrupts them.
#pragma once

#include <atomic>

#include "hislip/ReceiveBuffer.h"
#include "platform/Socket.h"

namespace tarvos {

class SocketStream : public ByteStream {
public:
    // socket: the connection's socket, written by its owner under the owner's
    // lock and read here without one.
    explicit SocketStream(const std::atomic<platform::SocketHandle>& socket) : socket_(socket) {}

    long ReceiveSome(void* destination, size_t length) override
    {
        for (;;) {
            const long n = platform::Receive(socket_.load(std::memory_order_acquire), destination, length);
            if (n >= 0 || !platform::IsInterruptedError(platform::LastSocketError())) {
                return n;
            }
        }
    }

private:
    const std::atomic<platform::SocketHandle>& socket_;
};

}  // namespace tarvos
