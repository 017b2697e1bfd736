// The process-wide table from program message headers to command handlers.
#pragma once

#include <cstdint>
#include <string>

namespace tarvos {

class Instrument;

using CommandHandler = int (Instrument::*)(const std::string& header, uint8_t& delimiter);

class CommandTable {
public:
    // Fills the table on the first call; later calls (from any thread) find it
    // filled and return at once.
    static void FillOnce();
    // The handler whose key equals the header byte for byte, or null.
    static CommandHandler Find(const std::string& header);
    static size_t Size();
};

}  // namespace tarvos
