#pragma once

#include "firmware/FirmwareSysexSender.h"
#include "midi/MidiManager.h"

#include <juce_events/juce_events.h>

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

    Controller (MidiManager* midiManager, juce::OwnedArray<FirmwareItem>* items);
    ~Controller() override;

    /** Registers a listener and reports the available versions to every listener. */
    void addListener (Listener* listener);
    void removeListener (Listener* listener);

    /** Starts an update; in Solvane mode only the application and control images are sent. */
    void startUpdate (bool solvaneMode);

    /** Deletes the senders and returns to searching for the unit. */
    void resetUpdate();

    void sysexSenderStatusChanged (FirmwareSysexSender* sender, const juce::String& status) override;
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

    juce::OwnedArray<FirmwareItem>* const items;
    MidiManager* const midiManager;
    juce::OwnedArray<FirmwareSysexSender> senders;
    juce::ListenerList<Listener> listeners;
    int totalChunks = 0;
    int chunksSent = 0;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Controller)
};
