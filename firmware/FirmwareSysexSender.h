#pragma once

#include "FirmwareItem.h"
#include "midi/MidiManager.h"

#include <juce_events/juce_events.h>

/**
    Streams the image of one firmware item to the item's port, one slice per
    timer tick, and reports each step with a status word: "Started", "Chunk",
    "Complete" or "Error".

    Runs on the message thread. Neither the item nor the MIDI manager is owned;
    the destructor touches neither.
*/
class FirmwareSysexSender final : public juce::Timer
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void sysexSenderStatusChanged (FirmwareSysexSender* sender, const juce::String& status) = 0;
    };

    FirmwareSysexSender (FirmwareItem* item, MidiManager* midiManager);
    ~FirmwareSysexSender() override;

    /** Adds a listener unless it is already registered. */
    void addListener (Listener* listener);

    /** Starts, or restarts from the first slice. */
    void startSending();

    /** The item's display name, or an empty string without an item. */
    juce::String getItemName() const;

    void timerCallback() override;

    /** The item being sent; its flags are read by the controller. */
    FirmwareItem* const item;

private:
    void report (const juce::String& status);
    void scheduleNextTick();

    juce::ListenerList<Listener> listeners;
    MidiManager* const midiManager;
    juce::uint32 chunkIndex = 0;
    double nextTickDueMs = 0.0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareSysexSender)
};
