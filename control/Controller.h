#pragma once

#include "UnitMonitor.h"
#include "UpdateLog.h"
#include "UpdateSession.h"
#include "firmware/FirmwarePackage.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/MidiManager.h"

#include <juce_events/juce_events.h>

/**
    Runs a firmware update: polls for the unit every 100 ms, reads its versions,
    streams the firmware items through one sender each, counts progress,
    aborts and resets, and reports everything to its listeners.

    The unit is the set of ports it was identified on (UnitMonitor): the
    versions and the rehearsal marks belong to the inputs that answered, and
    firmware goes only to the outputs listed beside them. While more than one
    port is listed under any of the unit's names nothing is sent; when the
    ports behind the names change, the unit is identified again before
    anything is sent. An update is an UpdateSession. After an update the
    unit's versions are read again once it is back, to tell whether the update
    took.

    Lives on the message thread: every listener callback is made there.
    Neither the MIDI manager nor the items are owned; both outlive it.
*/
class Controller final : public FirmwareSysexSender::Listener,
                         private juce::Timer,
                         public MidiManager::Listener,
                         private UnitMonitor::Listener,
                         private UpdateSession::Listener
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

        /** More than one port is listed under one of the unit's names (or no
            longer is); reported at every presence check, before hardwareDetectedChanged. */
        virtual void severalUnitsDetectedChanged (bool /*severalUnits*/) {}

        /** How a processor's reported version compares with the carried one (VersionCheck). */
        virtual void versionCheckChanged (int /*processor*/, int /*check*/) {}

        /** startUpdate sent nothing, for this reason (Refusal). */
        virtual void updateRefused (int /*reason*/) {}

        virtual ~Listener() = default;
    };

    /** Item codes of firmwareItemStateChanged (ZarvikUnit::ImageFacts::itemCode). */
    enum ItemCode
    {
        controlFirmware = 0,
        audioApplicationFirmware = 1,
        audioAssets = 2,
        graphicsApplicationFirmware = 3,
        graphicsAssets = 4
    };

    /** Item states of firmwareItemStateChanged; "Sending" is never reported. */
    enum ItemState
    {
        waiting = 0,
        started = 1,
        completed = 2,
        sending = 3,
        aborted = 4
    };

    /** Codes of versionCheckChanged. A version that differs is "not up to
        date" only after an update; before one it is simply not checked. */
    enum VersionCheck
    {
        notChecked = UnitMonitor::notChecked,
        waitingForUnit = UnitMonitor::waitingForUnit, // after an update, until the unit is back and has answered
        upToDate = UnitMonitor::upToDate,
        notUpToDate = UnitMonitor::notUpToDate
    };

    /** Codes of updateRefused, and of checkBeforeUpdate. */
    enum Refusal
    {
        noRefusal = -1,
        testFirmwareOnly = 0, // test firmware, and no rehearsal unit identified itself
        moreThanOneUnit = 1, // more than one port under one of the unit's names
        unitNotIdentified = 2 // the unit did not answer on all of its ports
    };

    /** Test firmware (`firmwareKind`) is sent only to a rehearsal unit; a
        release goes to any unit. The record of updates goes to `logFile`, by
        default this user's (UpdateLog::getDefaultFile). */
    Controller (MidiManager* midiManager, juce::OwnedArray<FirmwareItem>* items, FirmwarePackage::Kind firmwareKind, juce::File logFile = UpdateLog::getDefaultFile());
    ~Controller() override;

    FirmwarePackage::Kind getFirmwareKind() const noexcept { return firmwareKind; }

    /** Whether startUpdate may send to the unit connected now: only one unit
        is connected, and for test firmware the identity replies of all three
        of its processors, since it was last found, marked it a rehearsal unit. */
    bool canUpdateConnectedUnit() const;

    /** Called when the user asks for an update, before the instructions:
        why startUpdate would refuse the unit connected now, or noRefusal.
        Ends the reading of the unit's versions after the last update. */
    int checkBeforeUpdate();

    /** Registers a listener and reports the available versions to every listener. */
    void addListener (Listener* listener);
    void removeListener (Listener* listener);

    /** Starts an update; in Solvane mode only the application and control
        images are sent. When the unit's ports are not the ones it was
        identified on, it is identified first (updateInProgressChanged (true)
        meanwhile), for at most a few seconds. What is refused sends nothing
        and is reported through updateRefused. */
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
    enum class Phase
    {
        idle,
        identifying, // startUpdate waits for the unit to answer on the ports it has now
        sending,
        finished,
        aborted
    };

    void timerCallback() override;
    bool checkHardwarePresent (const UnitPorts& ports);
    void connectToHardware (const UnitPorts& ports);
    void closeItemPorts();

    void startWhenIdentified (bool solvaneMode, const UnitPorts& ports, bool mayIdentify);
    void continueIdentifying (const UnitPorts& ports, bool polled);
    void beginUpdate (bool solvaneMode, const UnitPorts& ports);
    void refuse (Refusal reason);
    int refusalFor (const UnitPorts& ports) const;

    // UnitMonitor::Listener
    void versionReplied (int processor, const juce::String& version) override;
    void versionCheckChanged (int processor, int check) override;

    // UpdateSession::Listener
    void itemStateChanged (ZarvikUnit::Image image, UpdateSession::ItemState state) override;
    void progressChanged (double progress) override;
    void sessionFinished() override;
    void sessionAborted() override;

    juce::OwnedArray<FirmwareItem>* const items;
    MidiManager* const midiManager;
    const FirmwarePackage::Kind firmwareKind;
    juce::ListenerList<Listener> listeners;
    juce::CriticalSection lock;
    UpdateLog log;
    UnitMonitor unit;
    std::unique_ptr<UpdateSession> session;

    Phase phase = Phase::idle;
    bool solvaneModeToStart = false;
    int identifyingPollsLeft = 0;

    // What the last poll listed.
    UnitPorts lastPolledPorts;

    // After an update: the unit left, and is asked again once it is back.
    bool unitLeft = false;
    bool askAfterUpdate = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Controller)
};
