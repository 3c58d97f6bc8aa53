#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

/**
    Turns the bytes that arrive on a MIDI input, in pieces of any size, into
    complete messages: channel and system common messages (running status
    included), real-time bytes (passed on at once, also from inside a SysEx
    message) and SysEx messages from F0 to F7.

    What one message may hold is capped: a SysEx message longer than
    maxMessageSize is dropped whole, the rest of it is skipped up to its end,
    and the messages after it are delivered as usual. So a sender that never
    ends its SysEx cannot make the input hold more than maxMessageSize bytes.
    A SysEx message cut short by another status byte or by a gap in the
    stream is dropped too: only whole messages are delivered.

    Plain C++, used by one thread at a time.
*/
class SysexAssembler final
{
public:
    /** Identity replies, the longest messages a unit sends, are 37 bytes. */
    static constexpr size_t maxMessageSize = 4096;

    /** Receives each complete message, from its status byte to its last byte;
        the bytes are valid during the call only. */
    using Deliver = std::function<void (const uint8_t* data, size_t size)>;

    explicit SysexAssembler (Deliver deliver);

    /** Takes the next bytes of the stream; delivers the messages they complete, in order. */
    void push (const uint8_t* data, size_t size);

    /** The stream has a gap (the system lost bytes): a message in progress is
        dropped and the running status forgotten. */
    void reset();

private:
    enum class State
    {
        idle, // between messages: a status byte, or a data byte under running status
        shortMessage, // a channel or system common message waiting for its data bytes
        sysex, // inside a SysEx message that still fits
        skippingSysex // inside a SysEx message that grew too long: skipped up to its end
    };

    void handleStatus (uint8_t status);
    void handleData (uint8_t data);
    void beginShortMessage (uint8_t status);
    void deliverMessage();

    const Deliver deliver;
    State state = State::idle;
    uint8_t runningStatus = 0;
    size_t expectedSize = 0;
    std::vector<uint8_t> message;
};
