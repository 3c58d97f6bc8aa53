#pragma once

#include "UpdateLog.h"
#include "firmware/FirmwarePackage.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/MidiManager.h"

#include <juce_events/juce_events.h>
#include <mutex>
#include <optional>

/**
    Runs a firmware update: polls for the unit every 100 ms, reads its versions,
    streams the firmware items through one sender each, counts progress,
    aborts and resets, and reports everything to its listeners.

    Lives on the message thread: every listener callback is made there.
    Neither the MIDI manager nor the items are owned; both outlive it.
*/
class Controller final : public FirmwareSysexSender::Listener,
                         private juce::Timer,
                         public MidiManager::Listener
{
public:
    class Listener
    {
    public:
        virtual void availableVersionChanged (int /*processor*/, const juce::String& /*version*/) {}
        virtual void currentVersionChanged (int /*processor*/, const juce::String& /*version*/) {}
        virtual void hardwareDetectedChanged (bool /*detected*/) {}
        virtual void progressChanged (const double& /*progress*/) {}
        virtual void updateInProgressChanged (bool /*inProgress*/) {}
        virtual void firmwareItemStateChanged (int /*item*/, int /*state*/) {}

        virtual ~Listener() = default;
    };

    /** Item codes of firmwareItemStateChanged. */
    enum ItemCode
    {
        controlFirmware = 0,
        audioApplicationFirmware = 1,
        audioAssets = 2,
        graphicsApplicationFirmware = 3,
        graphicsAssets = 4
    };

    /** Item states of firmwareItemStateChanged. */
    enum ItemState
    {
        waiting = 0,
        started = 1,
        completed = 2,
        sending = 3,
        aborted = 4
    };

    /** Test firmware (`firmwareKind`) is sent only to a rehearsal unit; a
        release goes to any unit. The record of updates goes to `logFile`, by
        default this user's (UpdateLog::getDefaultFile). */
    Controller (MidiManager* midiManager, juce::OwnedArray<FirmwareItem>* items, FirmwarePackage::Kind firmwareKind, juce::File logFile = UpdateLog::getDefaultFile());
    ~Controller() override;

    FirmwarePackage::Kind getFirmwareKind() const noexcept { return firmwareKind; }

    /** Whether startUpdate would send anything to the unit now: a release
        always; test firmware only when the identity replies of all three
        processors, since the unit was last found, marked it a rehearsal unit. */
    bool canUpdateConnectedUnit() const;

    /** Registers a listener and reports the available versions to every listener. */
    void addListener (Listener* listener);
    void removeListener (Listener* listener);

    /** Starts an update; in Solvane mode only the application and control images
        are sent. Does nothing at all while canUpdateConnectedUnit is false. */
    void startUpdate (bool solvaneMode);

    /** Deletes the senders and returns to searching for the unit. */
    void resetUpdate();

    /** Called by the senders on the message thread. */
    void sysexSenderStatusChanged (FirmwareSysexSender* sender, const juce::String& status) override;

    /** Called on a MIDI input thread: a version reply is copied and handled
        on the message thread, where currentVersionChanged is reported. */
    void midiMessageReceived (MidiInputPort* source, const juce::MidiMessage& message) override;

    /** Set from startUpdate until resetUpdate, also after completion or an abort. */
    bool updateRunning = false;

    /** Set while the controller still connects and asks the unit for its versions. */
    bool versionQueryPending = true;

private:
    void timerCallback() override;
    bool checkHardwarePresent();
    void connectToHardware();
    void requestFirmwareVersion (int processor);
    void addSender (FirmwareItem* item);
    void abortUpdate();
    void reportItemState (const juce::String& itemName, int state);
    void handlePendingReplies();
    bool portCarriesTransfer (const juce::String& portName) const;
    bool allSendersComplete() const;
    void startNextWaitingSender (const FirmwareSysexSender& finished);
    void finishUpdate();
    void forgetUnit();

    juce::OwnedArray<FirmwareItem>* const items;
    MidiManager* const midiManager;
    const FirmwarePackage::Kind firmwareKind;
    juce::OwnedArray<FirmwareSysexSender> senders;
    juce::ListenerList<Listener> listeners;
    int totalChunks = 0;
    int chunksSent = 0;
    juce::CriticalSection lock;
    UpdateLog log;

    // Which processors' latest replies carried the rehearsal marker.
    std::array<bool, 3> rehearsalProcessors {};

    struct Reply
    {
        juce::String version;
        bool fromRehearsalUnit = false;
    };

    // Version replies read on the input threads and not yet handled on the
    // message thread: the latest reply of each processor, and whether any
    // reply came at all.
    struct PendingReplies
    {
        std::array<std::optional<Reply>, 3> replies;
        bool answered = false;
        bool handOverQueued = false;
    };

    std::mutex repliesLock;
    PendingReplies pendingReplies;

    // A hand-over still queued when the controller is destroyed finds this gone.
    std::shared_ptr<Controller*> alive = std::make_shared<Controller*> (this);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Controller)
};
