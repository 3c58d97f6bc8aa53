#pragma once

#include "AlsaSequencer_Linux.h"
#include "midi/PortFailure.h"

namespace AlsaMidi
{
/** The raw MIDI output ("hw:CARD,DEVICE,SUBDEVICE") whose bytes the given
    sequencer port writes, or an empty string when the port is not the
    kernel's bridge to a raw MIDI output. Throws a std::runtime_error saying
    why when the port belongs to a card that cannot tell which it is. */
juce::String findRawMidiOutput (const PortDetails& port);

/**
    A raw MIDI output whose writes return only once the device driver has sent
    every byte on, so a device that takes its bytes slowly slows the writer
    down instead of losing them, and one that stops taking them fails the
    write once its time limit has passed.

    Owned by one output port; write() is called on one thread at a time.
*/
class RawMidiOutput final
{
public:
    /** Closes the device, dropping bytes that a failed write left behind. */
    ~RawMidiOutput();

    /** Opens the device; throws a std::runtime_error saying why it cannot be
        opened, "held by another program" when another program has it. */
    static std::unique_ptr<RawMidiOutput> open (const juce::String& deviceName);

    /** Writes every byte as it is; fails, saying why, when the device failed,
        has gone, or took no bytes for `timeLimit`. Sets `handedOver`, if given,
        to the moment after the last byte was drained. */
    PortFailure write (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver);

    /** Whether the device is still there; asks this device alone. */
    bool isPresent() const;

private:
    RawMidiOutput (snd_rawmidi_t* handle, size_t bufferSize);
    int waitUntilDrained (std::chrono::steady_clock::time_point deadline);

    snd_rawmidi_t* const handle;
    const size_t bufferSize;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RawMidiOutput)
};
}
