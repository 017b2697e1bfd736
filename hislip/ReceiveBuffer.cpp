#include "hislip/ReceiveBuffer.h"

#include <cstdint>
#include <cstring>

namespace tarvos {

namespace {

ReceiveStatus StatusOf(long received)
{
    return received == 0 ? ReceiveStatus::Closed : ReceiveStatus::Failed;
}

}  // namespace

ReceiveStatus ReceiveBuffer::Fill()
{
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (end_ == kCapacity) {
        std::memmove(bytes_, bytes_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const long got = stream_.ReceiveSome(bytes_ + end_, kCapacity - end_);
    if (got <= 0) {
        return StatusOf(got);
    }
    end_ += static_cast<size_t>(got);
    return ReceiveStatus::Done;
}

ReceiveStatus ReceiveBuffer::Take(uint8_t* destination, uint64_t n)
{
    for (;;) {
        const size_t held = Held();
        const size_t copy = n < held ? static_cast<size_t>(n) : held;
        if (copy != 0) {
            std::memcpy(destination, bytes_ + begin_, copy);
            begin_ += copy;
            destination += copy;
            n -= copy;
        }
        if (n == 0) {
            return ReceiveStatus::Done;
        }
        if (n >= kCapacity) {
            break;
        }
        const ReceiveStatus filled = Fill();
        if (filled != ReceiveStatus::Done) {
            return filled;
        }
    }
    // The buffer is empty and the rest is large: straight into destination,
    // never beyond the n bytes asked for.
    while (n != 0) {
        const size_t chunk = n < static_cast<uint64_t>(SIZE_MAX) ? static_cast<size_t>(n) : SIZE_MAX;
        const long got = stream_.ReceiveSome(destination, chunk);
        if (got <= 0) {
            return StatusOf(got);
        }
        destination += got;
        n -= static_cast<uint64_t>(got);
    }
    return ReceiveStatus::Done;
}

ReceiveStatus ReceiveBuffer::Skip(uint64_t n)
{
    while (n != 0) {
        if (Held() == 0) {
            const ReceiveStatus filled = Fill();
            if (filled != ReceiveStatus::Done) {
                return filled;
            }
        }
        const size_t held = Held();
        const size_t drop = n < held ? static_cast<size_t>(n) : held;
        begin_ += drop;
        n -= drop;
    }
    return ReceiveStatus::Done;
}

}  // namespace tarvos
