#include "FirmwareSysexSender.h"

namespace
{
/** The slice's bytes as one message, unchanged.

        juce::MidiMessage checks that a message of up to three bytes starts with
        a status byte of the matching length. The short last slice of an image
        is the tail of its text, so it is built around a SysEx status byte of
        the right length and then given its own bytes.
    */
juce::MidiMessage wrapVerbatim (const juce::MemoryBlock& slice)
{
    const auto size = (int) slice.getSize();

    if (size > 3)
        return { slice.getData(), size, 0.0 };

    const juce::uint8 placeholder[3] = { 0xf0, 0xf7, 0xf7 };
    juce::MidiMessage message (placeholder, size, 0.0);
    memcpy (const_cast<juce::uint8*> (message.getRawData()), slice.getData(), (size_t) size);
    return message;
}
}

FirmwareSysexSender::FirmwareSysexSender (FirmwareItem* itemToSend, MidiManager* manager)
    : item (itemToSend)
    , midiManager (manager)
{
}

FirmwareSysexSender::~FirmwareSysexSender()
{
    stopTimer();
}

void FirmwareSysexSender::addListener (Listener* listener)
{
    if (listener != nullptr)
        listeners.add (listener);
}

juce::String FirmwareSysexSender::getItemName() const
{
    return item != nullptr ? item->getDisplayName() : juce::String();
}

void FirmwareSysexSender::startSending()
{
    if (item == nullptr)
    {
        report ("Error");
        return;
    }

    const auto portName = item->getPortName();
    midiManager->closeInputPort (portName);
    midiManager->openOutputPort (portName);

    chunkIndex = 0;
    item->inProgress = true;

    report ("Started");
    nextTickDueMs = juce::Time::getMillisecondCounterHiRes() + item->intervalMs;
    startTimer (item->intervalMs);
}

void FirmwareSysexSender::timerCallback()
{
    const auto portName = item->getPortName();

    if (! midiManager->isOutputPortAvailable (portName))
    {
        stopTimer();
        report ("Error");
        return;
    }

    if (chunkIndex >= (juce::uint32) item->numChunks)
    {
        stopTimer();
        item->inProgress = false;
        item->complete = true;
        report ("Complete");
        return;
    }

    // A slice that no device took leaves a hole in the image on the wire, so
    // the transfer cannot go on as if it had been sent.
    if (midiManager->sendMessageToPort (portName, wrapVerbatim (item->getChunk ((int) chunkIndex))) == 0)
    {
        stopTimer();
        report ("Error");
        return;
    }

    ++chunkIndex;
    scheduleNextTick();
    report ("Chunk");
}

void FirmwareSysexSender::scheduleNextTick()
{
    // juce::Timer counts whole milliseconds and restarts a timer's countdown
    // from the full period after each callback, so the lateness of every tick
    // is added to all later ones: a 3 ms timer averages 3.1 to 3.2 ms, more
    // while the message thread is busy. Each tick therefore sets the wait to
    // its next slot in a fixed schedule. Lateness is made up on the next wait,
    // but never more than one period of it, so a stall of the message thread
    // cannot turn into a burst of slices afterwards.
    const auto now = juce::Time::getMillisecondCounterHiRes();
    nextTickDueMs = juce::jmax (nextTickDueMs + item->intervalMs, now - item->intervalMs);
    startTimer (juce::jmax (1, juce::roundToInt (nextTickDueMs - now)));
}

void FirmwareSysexSender::report (const juce::String& status)
{
    // Newest listener first; a listener may remove itself or others during the call.
    listeners.call (&Listener::sysexSenderStatusChanged, this, status);
}
