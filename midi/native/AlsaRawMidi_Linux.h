#pragma once

#include "AlsaSequencer_Linux.h"

namespace AlsaMidi
{
/** The raw MIDI output ("hw:CARD,DEVICE,SUBDEVICE") whose bytes the given
    sequencer port writes, or an empty string when the port is not the
    kernel's bridge to a raw MIDI output. */
juce::String findRawMidiOutput (const PortDetails& port);

/**
    A raw MIDI output opened in blocking mode: a write returns only once the
    device driver has sent every byte on, so a device that takes its bytes
    slowly slows the writer down instead of losing them.

    Owned by one output port; write() is called on one thread at a time.
*/
class RawMidiOutput final
{
public:
    ~RawMidiOutput();

    /** Opens the device; null when it does not exist or is busy. */
    static std::unique_ptr<RawMidiOutput> open (const juce::String& deviceName);

    /** Writes every byte as it is; false when the device failed or has gone. */
    bool write (const void* data, size_t size);

private:
    RawMidiOutput (snd_rawmidi_t* handle, size_t bufferSize);

    snd_rawmidi_t* const handle;
    const size_t bufferSize;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RawMidiOutput)
};
}
