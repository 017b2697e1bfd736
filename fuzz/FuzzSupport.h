// Shared pieces of the libFuzzer harnesses: one quiet server object, socket
// pairs, HiSLIP framing, a bounded pump that feeds and drains the server's
// sockets, and the checks that every session left the server-wide state free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "console/Server.h"
#include "net/Connection.h"

namespace tarvos::fuzz {

// The one server of the process: verbose tracing into /dev/null, debugger
// output swallowed. The first call also moves the process into a private
// temporary directory (MMEM:DATA writes files) and sends stdout to /dev/null.
Server& QuietServer();

// Removes every plain file from the working directory, so that no input sees
// the files of an earlier one.
void EmptyWorkingDirectory();

// A connected AF_UNIX stream pair: first for the harness, second for the server.
struct SocketPair {
    int harness = -1;
    int server = -1;
};
SocketPair MakeSocketPair();

// Appends one HiSLIP message (header and payload) to out.
void AppendMessage(std::vector<uint8_t>& out, uint8_t type, uint8_t controlCode, uint32_t parameter,
                   const uint8_t* payload = nullptr, size_t length = 0);

// Reads one 16-byte header from fd within timeoutMs; false on time-out or end.
bool ReadHeader(int fd, uint8_t (&wire)[16], int timeoutMs);

// One harness side of a connection: bytes still to send, split into the chunks
// that the pump hands to the socket one per round.
struct Feed {
    int fd = -1;
    std::vector<std::vector<uint8_t>> chunks;
    // Message types the server must never send on this connection (checked on
    // everything the pump drains); what to call the connection in the report.
    std::vector<uint8_t> forbiddenTypes;
    const char* name = "connection";
};

// Splits what the server sends on one connection into messages and aborts on
// a type that the feed forbids.
struct Framing {
    uint8_t header[16] = {};
    size_t have = 0;
    uint64_t skip = 0;
    void Check(const uint8_t* bytes, size_t length, const Feed& feed);
};

// Sends every feed's chunks (non-blocking, draining and checking all answers
// meanwhile: a forbidden message type aborts), shuts
// the write side of each feed once its chunks are out, and keeps draining until
// the server closed every socket or nothing moved for quietMs (at most capMs in
// all). Returns when done; the sockets stay open.
void Pump(std::vector<Feed>& feeds, int quietMs, int capMs);

// Closes the harness ends, wakes every wait of the workers and stops them; aborts
// when the workers need longer than a few seconds to end.
void StopAll(std::vector<Feed>& feeds, std::vector<Connection*>& connections);

// Aborts when the lock table's state contradicts itself (sessions may be open).
void CheckLockInvariants();

// Aborts when the lock table is inconsistent, or a lock, a session slot or a
// link between partner channels outlived the sessions that took it.
void CheckServerWideStateFree();

}  // namespace tarvos::fuzz
