// The wrappers through which handlers read their parameters: a parameter that
// is missing (the unit ended with a newline) or rejected is reported into the
// error queue.
#include "instrument/ErrorQueue.h"
#include "instrument/Instrument.h"

namespace tarvos {

namespace {

int Clamp(long result)
{
    return result > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(result);
}

// The pattern of every wrapper: missing is what the entry for a missing
// parameter says; rejected is the code queued when parse(report) fails,
// unless the parser cleared report.
template <typename Parse>
int Expect(ErrorQueue& errors, uint8_t delimiter, const char* missing, int32_t rejected, Parse parse)
{
    if (delimiter == '\n') {
        errors.PushError(FormatError(-109, missing));
        return 0;
    }
    bool report = true;
    const long result = parse(report);
    if (result <= 0 && report) {
        errors.PushError(FormatError(rejected));
    }
    return Clamp(result);
}

}  // namespace

int Instrument::ExpectString(std::string& text, uint8_t& delimiter)
{
    return Expect(errorQueue, delimiter, "a string was expected", -150,
                  [&](bool&) { return parser.ParseQuotedString(text, delimiter); });
}

int Instrument::ExpectInteger(int32_t& value, uint8_t& delimiter)
{
    return Expect(errorQueue, delimiter, "numeric data was expected", -120,
                  [&](bool&) { return parser.ParseInteger(value, delimiter); });
}

int Instrument::ExpectExactInteger(uint64_t& value, uint8_t& delimiter)
{
    int32_t low = 0;
    return Expect(errorQueue, delimiter, "numeric data was expected", -120,
                  [&](bool&) { return parser.ParseInteger(low, delimiter, &value); });
}

int Instrument::ExpectBlock(BlockSink& sink, uint8_t& delimiter)
{
    return Expect(errorQueue, delimiter, "a block was expected", -160, [&](bool& report) {
        const uint32_t clears = channel.CompletedClears();
        const long parsed = parser.ParseBlock(sink, delimiter);
        // A device clear that ends the block is no error, and nothing of the
        // block counts.
        if (channel.CompletedClears() != clears) {
            report = false;
            return 0L;
        }
        return parsed;
    });
}

}  // namespace tarvos
