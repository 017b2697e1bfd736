// Where the data of a definite-length block goes while it arrives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvos {

class BlockSink {
public:
    // The declared length, once the block's header has been read; never 0.
    virtual void Begin(uint32_t length) = 0;
    // The next piece of the block's data, in order.
    virtual void Take(const uint8_t* data, size_t length) = 0;

protected:
    ~BlockSink() = default;
};

}  // namespace tarvos
