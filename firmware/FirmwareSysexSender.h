#pragma once

#include "FirmwareItem.h"
#include "midi/MidiManager.h"

#include <juce_events/juce_events.h>
#include <mutex>
#include <optional>

/**
    Streams the image of one firmware item to the item's port, one slice per
    item interval, and reports each step with a status word: "Started",
    "Chunk", "Complete" or "Error".

    A transfer takes hold of its open output when it starts and writes each
    slice through it from a pacing thread of its own, against absolute
    deadlines: each write begins at least one interval after the one before
    was handed over, and lateness is never made up with a burst. Before each
    slice it asks the system whether that port is still there. A write that
    the port does not take within its stall limit ends the transfer.

    The message thread never waits on a write: stopping, restarting or
    deleting the sender returns at once, and a slice already on its way is
    finished on the pacing thread, which then ends without reporting; no
    slice begins once a stop has been asked for. The pacing thread's reports
    reach the listeners on the message thread, in order, and the item's flags
    change there.

    Created, started, stopped and destroyed on the message thread. Neither the
    item nor the MIDI manager is owned; the destructor touches neither, and a
    running transfer keeps its own reference to the image.
*/
class FirmwareSysexSender final : private juce::AsyncUpdater
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = default;

        /** Called on the message thread. */
        virtual void sysexSenderStatusChanged (FirmwareSysexSender* sender, const juce::String& status) = 0;
    };

    /** What a sender reports, as an enum; its listeners get the word. */
    enum class Status
    {
        started,
        chunk,
        complete,
        error
    };

    /** "Started", "Chunk", "Complete" or "Error". */
    static juce::String wordFor (Status status);

    /** The status a word names, if it names one. */
    static std::optional<Status> statusNamed (const juce::String& word);

    FirmwareSysexSender (FirmwareItem* item, MidiManager* midiManager);
    ~FirmwareSysexSender() override;

    /** Adds a listener unless it is already registered. */
    void addListener (Listener* listener);

    /** Sends to the output of that identifier alone, the one the unit was
        identified on, instead of to every output of the item's port name.
        Takes effect at the next start. */
    void setTargetDevice (const juce::MidiDeviceInfo& output);

    /** Starts, or restarts from the first slice. */
    void startSending();

    /** Stops the transfer: no report of it reaches the listeners any more,
        and no further slice begins. Returns at once. The item's flags are left
        as they are. */
    void stopSending();

    /** Whether a transfer runs: from startSending until it reports "Complete"
        or "Error", or is stopped. */
    bool isSending() const noexcept { return sending; }

    /** The item's display name, or an empty string without an item. */
    juce::String getItemName() const;

    /** Slices handed to the port, as reported so far. */
    int getChunksSent() const noexcept { return chunksSent; }

    /** Why the last transfer ended with "Error"; no failure otherwise. */
    const PortFailure& getFailure() const noexcept { return failure; }

    /** The same, in words. */
    juce::String getErrorReason() const { return failure.describe(); }

    /** The item being sent; its flags are read by the controller. */
    FirmwareItem* const item;

private:
    struct Transfer;

    struct Report
    {
        Status status;
        PortFailure failure;
    };

    static void pace (Transfer& transfer);
    void letGo();
    void handleAsyncUpdate() override;
    void deliver (const Report& report);
    void report (Status status);

    juce::ListenerList<Listener> listeners;
    MidiManager* const midiManager;
    std::optional<juce::MidiDeviceInfo> targetDevice;

    // Message thread only.
    bool sending = false;
    int chunksSent = 0;
    PortFailure failure;

    // The transfer under way, shared with its pacing thread; dropped when it
    // is stopped, so that what its thread still reports reaches nobody.
    std::shared_ptr<Transfer> transfer;

    JUCE_DECLARE_WEAK_REFERENCEABLE (FirmwareSysexSender)
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareSysexSender)
};
