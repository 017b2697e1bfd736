// The emulated instrument of one session: the command handlers and the table
// that names them, the status registers, the error queue and the response of
// the program message being executed. Its worker loop (Serve) reads program
// message units from the session's synchronous channel, executes each and
// sends the responses. Used by the connection's worker thread only, so none of
// its fields needs a lock; the channel guards what other threads see of it.
//
// Adding a command: declare its handler below, define it in a file of this
// folder, and give it its key (or keys) in CommandTable.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hislip/Channel.h"
#include "hislip/ResponseWriter.h"
#include "instrument/ErrorQueue.h"
#include "instrument/FaultFilter.h"
#include "instrument/Parser.h"
#include "instrument/definition/Catalog.h"

namespace tarvos {

class Instrument {
public:
    explicit Instrument(SyncChannel& channel);
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // Empties the error queue, the response and the registers for a new session.
    void Reset();
    // The loop over program message units until the channel ends; the result
    // that ended it (0 the peer closed, negative a failure).
    long Serve();
    // Gives back what the session held (the block buffer, the faults and the
    // rest of a split response) when it has ended.
    void ReleaseSessionMemory()
    {
        parser.ReleaseBlockBuffer();
        EndResponse();
        faults.Reset();
    }

    // --- responses ---
    // Hands one response message unit to the response of the program message:
    // units are joined with ';' and leave when the unit's delimiter ends the
    // program message.
    int AddResponse(const std::string& unit, uint8_t delimiter);

    // --- parameter wrappers: report a missing or rejected parameter into the queue ---
    int ExpectString(std::string& text, uint8_t& delimiter);
    int ExpectInteger(int32_t& value, uint8_t& delimiter);
    // The same, with the whole number (held at UINT64_MAX), for commands whose
    // range check must see a number that does not fit 32 bits.
    int ExpectExactInteger(uint64_t& value, uint8_t& delimiter);
    // 0 also when a device clear ended the block.
    int ExpectBlock(BlockSink& sink, uint8_t& delimiter);

    // --- command handlers (the command table maps headers to these) ---
    int EmptyCommand(const std::string& header, uint8_t& delimiter);
    int Identify(const std::string& header, uint8_t& delimiter);
    int OperationCompleteQuery(const std::string& header, uint8_t& delimiter);
    int EventStatusQuery(const std::string& header, uint8_t& delimiter);
    int ServiceRequestEnableQuery(const std::string& header, uint8_t& delimiter);
    int StatusByteQuery(const std::string& header, uint8_t& delimiter);
    int EventStatusEnableQuery(const std::string& header, uint8_t& delimiter);
    int SetServiceRequestEnable(const std::string& header, uint8_t& delimiter);
    int SetEventStatusEnable(const std::string& header, uint8_t& delimiter);
    int ReadFileQuery(const std::string& header, uint8_t& delimiter);
    int MassStorageQuery(const std::string& header, uint8_t& delimiter);
    int CurrentDirectoryQuery(const std::string& header, uint8_t& delimiter);
    int WriteFile(const std::string& header, uint8_t& delimiter);
    int OperationComplete(const std::string& header, uint8_t& delimiter);
    int ArmSrq(const std::string& header, uint8_t& delimiter);
    int ClearStatus(const std::string& header, uint8_t& delimiter);
    int Sleep(const std::string& header, uint8_t& delimiter);
    int NextError(const std::string& header, uint8_t& delimiter);
    int FaultSplit(const std::string& header, uint8_t& delimiter);
    int FaultDelay(const std::string& header, uint8_t& delimiter);
    int FaultDrop(const std::string& header, uint8_t& delimiter);
    int FaultFatal(const std::string& header, uint8_t& delimiter);
    int FaultError(const std::string& header, uint8_t& delimiter);
    int FaultMessageId(const std::string& header, uint8_t& delimiter);
    int FaultInterrupt(const std::string& header, uint8_t& delimiter);
    int FaultSlow(const std::string& header, uint8_t& delimiter);
    int FaultClear(const std::string& header, uint8_t& delimiter);
    int FaultQuery(const std::string& header, uint8_t& delimiter);

private:
    // Waits for the session's first program byte (the Initialize comes on the
    // way), so that its sub-address is known: > 0 when input is there, else
    // the result that ended the session.
    long AwaitFirstInput();
    // The loop of a session bound to an instrument of the definition file:
    // whole program messages, each executed under the instrument's lock and
    // answered with one response.
    long ServeDevice(definition::DeviceInstance& device);
    // A DIAG:FAULT unit of such a session: true when the unit is one (any
    // answer appended to out); stop when a fault ended the session.
    bool DeviceFaultUnit(std::string_view unit, std::string& out, bool& stop);
    // Sends the answers of one program message (in parts when large); how
    // the last part left, or the part that failed.
    Answered SendDeviceResponse(const std::string& answers);
    // What a DIAG:FAULT unit of a defined instrument's message fires (FatalError,
    // Error, the Interrupted pair) waits until the message has left the
    // instrument's lock: no send ever holds up the other sessions of that
    // instrument. Fired in order, before the message's answer.
    struct DeviceSignal {
        enum class Kind { Fatal, Error, Interrupt } kind;
        uint8_t code;
    };
    std::vector<DeviceSignal> deviceSignals;
    // Fires them; false when a FatalError ended the session.
    bool FireDeviceSignals();

    // A handler's result for a response that left as answered: 1 when the
    // session goes on, 0 when the response stopped short, -1 when the send
    // failed.
    static int HandlerResult(Answered answered)
    {
        return GoesOn(answered) ? 1 : answered == Answered::Short ? 0 : -1;
    }
    // Sends the collected response with a newline and empties the buffer.
    void Flush();
    // Drops the collected units of the program message. A response whose first
    // parts have already left is ended, so that the client is not left waiting
    // for its end.
    void DropResponse();
    // The size at which the collected response leaves as a part: the full
    // part size once the server's budget has paid for it, else the small one.
    size_t ResponsePartLimit();
    // The response is over: the buffer empties and gives its share of the
    // budget back.
    void EndResponse();
    // True, with the response buffer emptied, when a device clear has
    // completed since the current unit began.
    bool ClearedDuringUnit();
    // Reads the number of a fault command and, when it lies in [low, high]
    // and the unit ends after it, returns what use makes of it; otherwise the
    // wrapper's result. Outside the range -222 is queued; a stray parameter
    // after it is left to the worker loop to report (-115).
    int WithFaultNumber(uint8_t& delimiter, uint32_t low, uint32_t high, const std::function<int(uint32_t)>& use);

    SyncChannel& channel;
    // The session's test faults, between the instrument and its channel.
    FaultFilter faults;
    // Every response leaves through here (the fault filter, then the channel).
    ResponseWriter& responses;
    LogState* const log;
    Parser parser;
    ErrorQueue errorQueue;
    std::string responseBuffer;
    // Parts of the current response have left already (it outgrew the buffer):
    // the next unit is joined with ';' and the response still needs its end.
    bool responseStarted = false;
    // The response buffer holds a share of the server's memory budget.
    bool responseReserved = false;
    // Device clears the channel had completed when the current unit began.
    uint32_t unitClears = 0;
    uint8_t sre = 0;
    uint8_t ese = 0;
    uint8_t stb = 0;
    uint8_t esr = 0;
    bool tokenTrace = true;
};

}  // namespace tarvos
