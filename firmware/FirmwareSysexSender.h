#pragma once

#include "FirmwareItem.h"
#include "midi/MidiManager.h"

#include <juce_events/juce_events.h>
#include <mutex>
#include <optional>
#include <thread>

/**
    Streams the image of one firmware item to the item's port, one slice per
    item interval, and reports each step with a status word: "Started",
    "Chunk", "Complete" or "Error".

    The slices are timed and written on a pacing thread of the sender's own,
    against absolute deadlines: each write begins at least one interval after
    the one before, and lateness is never made up with a burst. A write that
    the port does not take within its stall limit ends the transfer. The
    message thread never waits on a write: the pacing thread's reports reach
    the listeners there, in order, and the item's flags change there.

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

    /** Stops the transfer: no report of it reaches the listeners any more.
        Returns at once; a slice that is being written meanwhile is finished
        on the pacing thread. The item's flags are left as they are. */
    void stopSending();

    /** Whether a transfer runs: from startSending until it reports "Complete"
        or "Error", or is stopped. */
    bool isSending() const noexcept { return sending; }

    /** The item's display name, or an empty string without an item. */
    juce::String getItemName() const;

    /** Slices handed to the port, as reported so far. */
    int getChunksSent() const noexcept { return chunksSent; }

    /** Why the last transfer ended with "Error", in words; empty otherwise. */
    juce::String getErrorReason() const { return errorReason; }

    /** The item being sent; its flags are read by the controller. */
    FirmwareItem* const item;

private:
    enum class Status
    {
        chunk,
        complete,
        error
    };

    struct Report
    {
        int run;
        Status status;
        juce::String reason;
    };

    struct Transfer
    {
        std::shared_ptr<const juce::MemoryBlock> image;
        juce::String portName, deviceIdentifier;
        size_t chunkSize, numChunks;
        std::chrono::microseconds interval;
    };

    void pace (int run, const Transfer& transfer);
    void post (int run, Status status, juce::String reason = {});
    void handleAsyncUpdate() override;
    void deliver (const Report& report);
    void report (const juce::String& status);
    void finishPacingThread();

    juce::ListenerList<Listener> listeners;
    MidiManager* const midiManager;
    std::optional<juce::MidiDeviceInfo> targetDevice;

    // Message thread only.
    bool sending = false;
    int chunksSent = 0;
    juce::String errorReason;

    // The run that may report; stopping or restarting moves it on, so reports
    // of an earlier run that are still queued are dropped.
    std::atomic<int> currentRun { 0 };

    // Held by the pacing thread from its check of the run to the end of the
    // write, so that stopping waits for a slice already on its way.
    std::mutex writeLock;

    std::mutex reportsLock;
    std::vector<Report> reports;

    std::thread pacingThread;

    JUCE_DECLARE_WEAK_REFERENCEABLE (FirmwareSysexSender)
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareSysexSender)
};
