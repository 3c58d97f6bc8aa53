#include "SysexAssembler.h"

namespace
{
constexpr uint8_t sysexStart = 0xf0;
constexpr uint8_t sysexEnd = 0xf7;
constexpr uint8_t firstRealTime = 0xf8;

// The whole length of a channel or system common message, by its status byte.
size_t messageSize (uint8_t status)
{
    if (status < 0xf0)
        return (status & 0xe0) == 0xc0 ? 2 : 3; // program change and channel pressure carry one data byte

    switch (status)
    {
        case 0xf1: // time code quarter frame
        case 0xf3: // song select
            return 2;
        case 0xf2: // song position
            return 3;
        default: // tune request, and the undefined F4 and F5
            return 1;
    }
}
}

SysexAssembler::SysexAssembler (Deliver deliverMessage)
    : deliver (std::move (deliverMessage))
{
    // The buffer is allocated once; it never grows past the cap.
    message.reserve (maxMessageSize);
}

void SysexAssembler::push (const uint8_t* data, size_t size)
{
    for (const auto* end = data + size; data < end; ++data)
    {
        const auto byte = *data;

        if (byte >= firstRealTime)
            deliver (&byte, 1); // real time interrupts nothing
        else if (byte >= 0x80)
            handleStatus (byte);
        else
            handleData (byte);
    }
}

void SysexAssembler::reset()
{
    state = State::idle;
    runningStatus = 0;
    message.clear();
}

void SysexAssembler::handleStatus (uint8_t status)
{
    if (status == sysexEnd && state == State::sysex)
    {
        message.push_back (sysexEnd);
        deliverMessage();
        return;
    }

    // Any other status byte ends what was in progress unfinished, and a
    // system message ends the running status.
    reset();

    if (status == sysexStart)
    {
        message.push_back (sysexStart);
        state = State::sysex;
    }
    else if (status != sysexEnd)
    {
        beginShortMessage (status);

        if (status < 0xf0)
            runningStatus = status;
    }
}

void SysexAssembler::handleData (uint8_t data)
{
    switch (state)
    {
        case State::sysex:
            // One byte is always left for the F7.
            if (message.size() + 1 < maxMessageSize)
            {
                message.push_back (data);
            }
            else
            {
                message.clear();
                state = State::skippingSysex;
            }
            break;

        case State::skippingSysex:
            break;

        case State::idle:
            // A data byte without a status of its own repeats the last one.
            if (runningStatus == 0)
                break;

            beginShortMessage (runningStatus);
            [[fallthrough]];

        case State::shortMessage:
            message.push_back (data);

            if (message.size() == expectedSize)
                deliverMessage();
            break;
    }
}

void SysexAssembler::beginShortMessage (uint8_t status)
{
    message.assign (1, status);
    expectedSize = messageSize (status);
    state = State::shortMessage;

    if (expectedSize == 1)
        deliverMessage();
}

void SysexAssembler::deliverMessage()
{
    deliver (message.data(), message.size());
    message.clear();
    state = State::idle;
}
