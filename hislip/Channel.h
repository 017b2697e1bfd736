// The HiSLIP state of one TCP connection: either channel of a session.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "common/CriticalSection.h"
#include "hislip/AsyncChannel.h"
#include "hislip/ByteSource.h"
#include "hislip/Engine.h"
#include "hislip/LockTable.h"
#include "hislip/LookAhead.h"
#include "hislip/MessageHeader.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveBuffer.h"
#include "hislip/ReceiveResult.h"
#include "hislip/ResponseDecorator.h"
#include "hislip/Session.h"
#include "hislip/SocketStream.h"
#include "hislip/SyncChannel.h"
#include "hislip/TestFeatures.h"
#include "platform/Mutex.h"
#include "platform/Socket.h"
#include "platform/Sync.h"

namespace tarvos {


// How long a channel that ends waits for its partner to end too.
constexpr uint32_t kPartnerWaitMs = 10000;

// True when the socket has input waiting (a failing poll counts as input).
bool InputPending(platform::SocketHandle socket);

// What both roles share: the receive loop that reads headers and payload,
// the messages of either role (MaximumMessageSize, Error, FatalError) and the
// refusals, sending, the events, the hang-up checks and the membership in a
// session. The role the first Initialize or AsyncInitialize gives the
// connection handles the messages of that role: its SyncChannel or its
// AsyncChannel, both made up front. The receive loop is the PayloadSource of
// the synchronous role's look-ahead; responses leave through its plain
// ResponseOutlet (or the decorator its hooks name).
class Channel : public PayloadSource, public ResponseOutlet {
public:
    // socket: the connection's socket, written by its owner under the owner's
    // lock and read here without one.
    Channel(Engine& engine, const std::atomic<platform::SocketHandle>& socket);
    virtual ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // --- sending ---
    // Sends one message.
    Sent SendMessage(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                     const void* payload) EXCLUDES(sendLock);
    Sent SendMessage(MessageType type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength = 0,
                    const void* payload = nullptr)
    {
        return SendMessage(static_cast<uint8_t>(type), controlCode, messageParameter, payloadLength, payload);
    }
    // Sends FatalError (fatal) or Error with the code and its text.
    Sent SendProtocolError(bool fatal, uint8_t code);

    // --- receive loop: reads headers, hands each message to its case, delivers payload ---
    Taken ReadChannel(uint8_t* buffer, uint64_t count, InputEnd& end) override;
    bool PayloadLeft() const override { return remaining != 0; }

    unsigned TraceNumber() const override { return platform::TraceNumber(Socket()); }

    // --- the plain way out of responses (see ResponseOutlet) ---
    Sent SendMessages(const OutgoingMessages& messages, bool shapeable) override EXCLUDES(sendLock);
    void TraceMessages(const OutgoingMessages& messages) override;
    long SendBytes(const platform::SendSlice* slices, uint32_t count) override EXCLUDES(sendLock);

    // --- test faults of the session ---
    // Shuts both channels of the session down: their workers and the client
    // see the end.
    void ShutDownSession() override;
    // The session's pace and armed service request, which reach the protocol
    // path through its hooks.
    TestFeatures& Features() { return features; }

    // --- the roles ---
    // The synchronous and the asynchronous role of this channel; only the one
    // the channel took (IsSync, IsAsync) serves its messages. A partner reaches
    // the role of this channel through its session (PeerRef).
    SyncChannel& Sync() { return sync_; }
    AsyncChannel& Async() { return async_; }

    // --- waits of the worker ---
    // How a wait of the worker ended: one of its objects was set (the first
    // of the list that was, by its index), its time ran out, or the client
    // hung up.
    struct Woken {
        enum class Why : uint8_t { Set, TimedOut, ClientGone };
        Why why = Why::TimedOut;
        int index = -1;
        // Object index of the list was set.
        bool By(int object) const { return why == Why::Set && index == object; }
    };
    // Waits like platform::WaitForAny for the objects, at most timeoutMs, and
    // also ends once this channel's client has hung up (looked at every
    // kHangUpCheckMs): the channel's stop event is then set, so that every
    // later wait of the session ends at once too. A worker that waits (SLEEP,
    // a delayed or paced response, the lock gate) so never keeps a session
    // whose client has gone.
    static constexpr uint32_t kHangUpCheckMs = 50;
    template <typename... Objects>
    Woken WaitWhileClientStays(uint32_t timeoutMs, Objects&&... objects)
    {
        const bool forever = timeoutMs == platform::kWaitForever;
        const uint64_t deadline = platform::NowMs() + timeoutMs;
        for (;;) {
            uint32_t slice = kHangUpCheckMs;
            if (!forever) {
                const uint64_t now = platform::NowMs();
                const uint64_t left = deadline > now ? deadline - now : 0;
                slice = left < slice ? static_cast<uint32_t>(left) : slice;
            }
            const int woken = platform::WaitForAny({objects...}, slice);
            if (woken != platform::kWaitTimedOut) {
                return {Woken::Why::Set, woken};
            }
            if (ClientHasGone()) {
                return {Woken::Why::ClientGone, -1};
            }
            if (!forever && platform::NowMs() >= deadline) {
                return {Woken::Why::TimedOut, -1};
            }
        }
    }
    // True (and the stop event set) when the client has closed or reset this
    // channel's connection.
    bool ClientHasGone();

    // --- session ---
    void ResetChannel();
    bool CloseSession();
    // The session this channel is a member of; null before its Initialize or
    // AsyncInitialize and after its end. For this channel's own thread.
    Session* OwnSession() const { return session.get(); }
    // The session of a synchronous channel that waits for pairing, for the
    // asynchronous channel that pairs with it: called only under the session
    // table's guard while this channel is in the table, which it enters after
    // its session is made and leaves before its session is dropped.
    std::shared_ptr<Session> SessionForPairing() const { return session; }
    // This channel becomes the member of role of made, a new session (the
    // synchronous role's Initialize makes it).
    void JoinSession(std::shared_ptr<Session> made, Session::Role role);
    // Joins this asynchronous channel to the session of the synchronous channel.
    void JoinSessionOf(const Channel& sync);
    // Makes every wait of this channel's worker end (server stop, partner gone).
    void WakeForStop() { stopEvent.Set(); }

    // The role the first Initialize or AsyncInitialize gave the connection;
    // neither before that. Set by this channel's own thread, once.
    bool IsSync() const { return isSync; }
    bool IsAsync() const { return isAsync; }
    bool HasRole() const { return isSync || isAsync; }
    void TakeRole(Session::Role role);
    // The channel's worker has ended it (its end-of-session handling began).
    bool HasEnded() const { return closedEvent.IsSet(); }
    // Error code of the last socket call on this channel that failed, saved
    // when it failed; 0 when none has failed since the last message header.
    int SocketError() const { return socketError; }
    // This channel ends for the failure of its partner's socket, whose error
    // it reports as its own.
    void TakeSocketError(int error) { socketError = error; }
    platform::Event& ClearEvent() { return clearEvent; }
    platform::Event& StopEvent() { return stopEvent; }
    platform::SocketHandle Socket() const { return socket.load(std::memory_order_acquire); }
    LogState* Log() const override { return log; }
    // The server-wide budget of the session's large buffers.
    MemoryBudget& Memory() const { return engine.memory; }
    // The engine that serves this channel: settings, tables and log.
    Engine& Owner() const { return engine; }

    // --- framing, for the roles' message cases (this channel's thread) ---
    // The last header received, parameter and length in host order.
    const MessageHeader& Header() const { return header; }
    // Payload bytes of the current message not yet consumed.
    uint64_t Remaining() const { return remaining; }
    // Input was received and not yet consumed: bytes held or payload left.
    bool HoldsUnreadInput() const { return input.Held() != 0 || remaining != 0; }
    // Input is thrown away (device clear), or the connection has closed;
    // the flag itself for a session that reads it under its lock.
    bool Discarding() const { return discard; }
    const std::atomic<bool>& DiscardFlag() const { return discard; }
    void SetDiscard(bool on) { discard = on; }
    // Receives n (at most remaining) bytes of the current message's payload
    // into buffer and traces them; never goes on to the next message. Control
    // cases read their own payload with it also while input is discarded, so
    // a stream of control messages can't nest the receive loop.
    Step ReceivePayload(uint8_t* buffer, uint64_t n);
    // Reads at most limit payload bytes of the current message into text.
    Step ReadPayloadPrefix(std::string& text, uint64_t limit);
    // Reads and throws away the rest of the current payload.
    Step DiscardPayload();
    // A message that the connection's role does not allow: FatalError 3 after
    // the log line, and the connection ends.
    Step RefuseSequence(const std::string& what);
    // An AsyncLock that this channel has no session to hold for: a request's
    // payload thrown away, answered with failure.
    Step RefuseLock();
    ChannelHooks& Hooks() { return features; }

    // The other member of this channel's session pinned for the time of one
    // operation, so that it can't leave the session (be reset for a new client
    // or destroyed) while this thread uses it. Used by the channel's own thread.
    class PeerRef {
    public:
        explicit PeerRef(const Channel* self);
        ~PeerRef();
        PeerRef(const PeerRef&) = delete;
        PeerRef& operator=(const PeerRef&) = delete;
        Channel* get() const { return peer_; }
        Channel* operator->() const { return peer_; }
        explicit operator bool() const { return peer_ != nullptr; }

    private:
        Session* session_ = nullptr;
        Session::Role role_ = Session::Role::Sync;
        Channel* peer_ = nullptr;
    };

private:

    // The steps of the receive loop: a header read (after the lock gate of a
    // synchronous channel), the message handled, payload delivered.
    Step ReadHeader();
    // Runs the case of the header's message type, then throws away whatever
    // payload a control message left unread.
    Step DispatchMessage(InputEnd& end);
    // Receives min(count, remaining) program bytes into buffer: the count (end
    // Message when they end a DataEnd), Closed when the peer closed, Failed on
    // failure.
    Taken DeliverPayload(uint8_t* buffer, uint64_t count, InputEnd& end);

    // The message cases of either role.
    Step HandleMaximumMessageSize();
    Step HandleError(bool fatal);
    // Data, DataEnd and Trigger: the synchronous role's, refused on any other.
    Step HandleProgramMessage();
    // AsyncLock: the asynchronous role's, refused on any other.
    Step HandleLockMessage();
    // The same with the discard trace: payload that no case reads.
    Step DiscardUnread();
    // Data, DataEnd or Trigger on an asynchronous channel: payload thrown
    // away, answered with Error 1; the channel goes on.
    Step RefuseProgramMessage();
    // Saves the error of the socket call that has just failed and returns it.
    int SaveSocketError();
    // The trace line of a message sent.
    void TraceSend(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                   const void* payload);
    // Logs a failed or short send of expected bytes; how the send ended.
    Sent SendOutcome(long sent, long expected, uint32_t payloadLength);
    // Leaves the channel's session (waiting for the partner's pins on it) and
    // drops it.
    void LeaveSession();
    Session::Role Role() const { return isAsync ? Session::Role::Async : Session::Role::Sync; }
    bool Slow() const;
    // Whether a message leaves byte by byte: slow mode, or a hook that shapes
    // it when allowed.
    bool SendsBytewise(bool allowShape) const { return Slow() || (allowShape && features.ShapesSend()); }
    // Sends one message; the hooks may shape it (byte by byte) unless allowShape
    // is false.
    Sent SendMessageAs(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                       const void* payload, bool allowShape) EXCLUDES(sendLock);
    // Sends bytes [0, length) of a message one send call each, with the hook
    // before each byte after the first when it may be shaped; false (after
    // the error line) when a send failed.
    bool SendBytewise(const uint8_t* header, const uint8_t* payload, uint32_t length, bool allowShape)
        REQUIRES(sendLock);

    Engine& engine;
    // Where this channel's lines go: the engine's log.
    LogState* const log;
    const std::atomic<platform::SocketHandle>& socket;

    // Used by this channel's worker thread only: the connection's bytes as
    // received.
    SocketStream stream {socket};
    ReceiveBuffer input {stream};

    // The session this channel is a member of (see OwnSession).
    std::shared_ptr<Session> session;
    // The last header received, parameter and length in host order. Written
    // and read by this channel's worker only: no other thread looks at it.
    MessageHeader header;
    // Payload bytes of the current message not yet consumed (own thread only).
    uint64_t remaining = 0;

    // Input is thrown away (device clear), or the connection has closed.
    std::atomic<bool> discard {false};
    // The role the first Initialize or AsyncInitialize gave the connection;
    // neither before that. Set and read by this channel's own thread.
    bool isSync = false;
    std::atomic<bool> isAsync {false};
    platform::Event clearEvent;
    platform::Event closedEvent;
    platform::Event stopEvent;
    TestFeatures features {*this};
    // Written by the thread whose socket call failed: this channel's worker, or
    // the partner's when it sends on this channel.
    std::atomic<int> socketError {0};

    // Keeps each message whole on the wire when two threads send on this
    // socket. The lock order of the engine, outermost first: a connection's
    // lock, the session table's guard, a session's lock, the lock table's
    // guard, this lock, the log lock (see the README's source map). No send
    // happens under a session's lock.
    platform::Mutex sendLock ACQUIRED_AFTER(SessionTable::guard, Session::lock, LockTable::lockGuard)
        ACQUIRED_BEFORE(LogState::logLock);

    // The roles; made last, as they use the rest.
    SyncChannel sync_;
    AsyncChannel async_;
};

template <typename... Objects>
auto SyncChannel::WaitWhileClientStays(uint32_t timeoutMs, Objects&&... objects)
{
    return channel_.WaitWhileClientStays(timeoutMs, std::forward<Objects>(objects)...);
}

}  // namespace tarvos
