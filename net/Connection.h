// One accepted TCP connection: its socket, its HiSLIP channel and the state of
// the emulated instrument behind it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/CriticalSection.h"
#include "hislip/Channel.h"
#include "instrument/ErrorQueue.h"
#include "instrument/Parser.h"
#include "net/ThreadBase.h"
#include "platform/Socket.h"

namespace tarvos {

class Connection : public ThreadBase {
public:
    explicit Connection(Engine& engine);
    void Run() override;
    ~Connection() override;
    bool Stop() override;

    // Shuts the socket down and wakes every wait of the worker, without waiting
    // for it to end (Stop() does both).
    void ShutDown();
    // True while the connection serves a client: the worker runs, its channel
    // has not ended and the client has not closed its side.
    bool ServesClient();

    void AttachSocket(platform::SocketHandle s);
    void CloseSocket();

    // Hands one response message unit to the response of the program message.
    int AddResponse(const std::string& unit, uint8_t delimiter);

    // Parameter wrappers: report a missing or rejected parameter into the queue.
    int ExpectString(std::string& text, uint8_t& delimiter);
    int ExpectInteger(int32_t& value, uint8_t& delimiter);
    // 0 also when a device clear ended the block.
    int ExpectBlock(BlockSink& sink, uint8_t& delimiter);

    // Command handlers (the command table maps headers to these).
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

    Channel& GetChannel() { return channel; }

private:
    void ResetSessionState();
    // The loop over program message units; the result that ended it.
    long Serve();
    void EndSession(long result);
    // Sends the collected response with a newline and empties the buffer.
    void Flush();
    // Drops the collected units of the program message. A response whose first
    // parts have already left is ended, so that the client is not left waiting
    // for its end.
    void DropResponse();
    // True, with the response buffer emptied, when a device clear has
    // completed since the current unit began.
    bool ClearedDuringUnit();

    Engine& engine;
    LogState* const log;
    // The instrument's state: used by this connection's worker thread only.
    ErrorQueue errorQueue;
    std::string responseBuffer;
    // Parts of the current response have left already (it outgrew the buffer):
    // the next unit is joined with ';' and the response still needs its end.
    bool responseStarted = false;
    uint8_t sre = 0;
    uint8_t ese = 0;
    uint8_t stb = 0;
    uint8_t esr = 0;
    bool tokenTrace = true;
    // Device clears the channel had completed when the current unit began.
    uint32_t unitClears = 0;
    // The accepted socket; written under lock (the server's stop closes it
    // while the worker may be reading), read without it.
    std::atomic<platform::SocketHandle> socket {platform::kInvalidSocket};
    CriticalSection lock;
    Channel channel;
    Parser parser {channel};
};

}  // namespace tarvos
