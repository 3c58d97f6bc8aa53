#include "Controller.h"
#include "VersionQuery.h"

namespace
{
constexpr int pollIntervalMs = 100;

// How long startUpdate waits for a unit on new ports to answer: time enough
// for the ports to be opened and asked at several polls.
constexpr int identifyingPolls = 30;
}

//==============================================================================
Controller::Controller (MidiManager* midiManager_, juce::OwnedArray<FirmwareItem>* items_, FirmwarePackage::Kind firmwareKind_, juce::File logFile)
    : items (items_)
    , midiManager (midiManager_)
    , firmwareKind (firmwareKind_)
    , log (std::move (logFile))
    , unit (*midiManager, *this, *items, *this, log)
{
    log.prepareDigests (*items);

    const auto ports = unit.listPorts();

    if (checkHardwarePresent (ports) && ! ports.listsSeveralUnits())
        connectToHardware (ports);

    resetUpdate();
    startTimer (pollIntervalMs);
}

Controller::~Controller()
{
    stopTimer();

    // Once this returns no input thread is inside midiMessageReceived.
    midiManager->removeListener (this);

    session.reset();
    log.updateEnded ("cut short: the updater quit during the transfer");
}

//==============================================================================
void Controller::addListener (Listener* listener)
{
    if (listener == nullptr)
        return;

    listeners.add (listener);
    const auto versions = VersionQuery::carriedVersions();

    for (int processor = 0; processor < (int) versions.size(); ++processor)
        listeners.call ([&] (Listener& l)
                        { l.availableVersionChanged (processor, versions[(size_t) processor]); });
}

void Controller::removeListener (Listener* listener)
{
    listeners.remove (listener);
}

//==============================================================================
void Controller::timerCallback()
{
    // While images are sent, or after an abort until the reset, nothing is polled.
    if (phase == Phase::sending || phase == Phase::aborted)
        return;

    const auto ports = unit.listPorts();

    if (! checkHardwarePresent (ports))
    {
        lastPolledPorts = ports;
        closeItemPorts();

        // Whatever is plugged in next may be another unit; replies still on
        // their way to the message thread came from this one.
        unit.forget();
        unitLeft = true;
        continueIdentifying (ports, true);
        return;
    }

    if (std::exchange (unitLeft, false) && unit.isCheckingUpdate())
    {
        // Back, as a unit is after it restarted at the end of an update: it
        // is asked what it runs now.
        unit.unitCameBack();

        if (phase == Phase::finished)
            askAfterUpdate = true;
        else
            versionQueryPending = true;
    }

    // Nobody is asked while more than one unit answers to the names, nor
    // before the ports have settled: they are asked once the system has
    // listed them alike at two polls in a row.
    const auto settled = ports == std::exchange (lastPolledPorts, ports);

    if (settled && ! ports.listsSeveralUnits())
    {
        const auto ask = (phase == Phase::idle && versionQueryPending)
                         || (phase == Phase::finished && askAfterUpdate)
                         || phase == Phase::identifying;

        if (ask)
            connectToHardware (ports);
    }

    continueIdentifying (ports, true);
}

bool Controller::checkHardwarePresent (const UnitPorts& ports)
{
    const auto present = unit.allItemPortsListed (ports);
    const auto several = ports.listsSeveralUnits();

    listeners.call ([several] (Listener& l)
                    { l.severalUnitsDetectedChanged (several); });
    listeners.call ([present] (Listener& l)
                    { l.hardwareDetectedChanged (present); });
    return present;
}

void Controller::connectToHardware (const UnitPorts& ports)
{
    unit.connect (ports);
}

void Controller::closeItemPorts()
{
    for (auto* item : *items)
    {
        midiManager->closeInputPort (item->getPortName());
        midiManager->closeOutputPort (item->getPortName());
    }
}

//==============================================================================
void Controller::midiMessageReceived (MidiInputPort* source, const juce::MidiMessage& message)
{
    unit.readMessage (source, message);
}

void Controller::versionReplied (int processor, const juce::String& version)
{
    // Any version reply counts as the unit's answer, even one that names no
    // processor of ours.
    versionQueryPending = false;

    if (processor >= 0)
        listeners.call ([&] (Listener& l)
                        { l.currentVersionChanged (processor, version); });

    if (phase != Phase::finished && phase != Phase::identifying)
        return;

    const auto ports = unit.listPorts();

    if (phase == Phase::finished && unit.isIdentified (ports))
        askAfterUpdate = false;

    continueIdentifying (ports, false);
}

void Controller::versionCheckChanged (int processor, int check)
{
    listeners.call ([processor, check] (Listener& l)
                    { l.versionCheckChanged (processor, check); });
}

int Controller::refusalFor (const UnitPorts& ports) const
{
    if (ports.listsSeveralUnits())
        return moreThanOneUnit;

    if (firmwareKind == FirmwarePackage::Kind::testFirmware && ! unit.isRehearsalUnit (ports))
        return testFirmwareOnly;

    return noRefusal;
}

bool Controller::canUpdateConnectedUnit() const
{
    return refusalFor (unit.listPorts()) == noRefusal;
}

int Controller::checkBeforeUpdate()
{
    unit.endCheckingUpdate();
    askAfterUpdate = false;
    return refusalFor (unit.listPorts());
}

//==============================================================================
void Controller::startUpdate (bool solvaneMode)
{
    // A second set of senders would interleave with the first on every port.
    if (phase != Phase::idle)
        return;

    versionQueryPending = false;
    unit.endCheckingUpdate();
    startWhenIdentified (solvaneMode, unit.listPorts(), true);
}

void Controller::startWhenIdentified (bool solvaneMode, const UnitPorts& ports, bool mayIdentify)
{
    if (ports.listsSeveralUnits())
    {
        refuse (moreThanOneUnit);
        return;
    }

    const auto testFirmware = firmwareKind == FirmwarePackage::Kind::testFirmware;

    // A unit that is gone gets the abort message from a release, which finds
    // its ports missing; test firmware explains that it found no rehearsal unit.
    if (! unit.allItemPortsListed (ports))
    {
        if (testFirmware)
            refuse (testFirmwareOnly);
        else
            beginUpdate (solvaneMode, ports);

        return;
    }

    if (unit.isIdentified (ports))
    {
        // Test firmware written into a real unit's processors would disable it.
        if (testFirmware && ! unit.isRehearsalUnit (ports))
            refuse (testFirmwareOnly);
        else
            beginUpdate (solvaneMode, ports);

        return;
    }

    if (! mayIdentify)
    {
        refuse (testFirmware ? testFirmwareOnly : unitNotIdentified);
        return;
    }

    // Other ports than the ones that answered, as after the unit was switched
    // off and on: they are asked who they are before anything is sent.
    phase = Phase::identifying;
    solvaneModeToStart = solvaneMode;
    identifyingPollsLeft = identifyingPolls;
    listeners.call ([] (Listener& l)
                    { l.updateInProgressChanged (true); });
    connectToHardware (ports);
}

void Controller::continueIdentifying (const UnitPorts& ports, bool polled)
{
    if (phase != Phase::identifying)
        return;

    const auto timeUp = polled && --identifyingPollsLeft <= 0;

    if (ports.listsSeveralUnits() || ! unit.allItemPortsListed (ports) || unit.isIdentified (ports) || timeUp)
    {
        phase = Phase::idle;
        startWhenIdentified (solvaneModeToStart, ports, false);
    }
}

void Controller::refuse (Refusal reason)
{
    if (std::exchange (phase, Phase::idle) == Phase::identifying)
        listeners.call ([] (Listener& l)
                        { l.updateInProgressChanged (false); });

    listeners.call ([reason] (Listener& l)
                    { l.updateRefused (reason); });
}

void Controller::beginUpdate (bool solvaneMode, const UnitPorts& ports)
{
    phase = Phase::sending;
    versionQueryPending = false;
    updateRunning = true;
    unit.clearChecks();

    // Firmware goes only to the outputs of the unit that answered.
    const auto identified = unit.isIdentified (ports);
    session = std::make_unique<UpdateSession> (*midiManager, *items, *this, static_cast<UpdateSession::Listener&> (*this), log);
    session->start (
        solvaneMode, [this, identified] (const juce::String& portName)
        { return identified ? unit.identifiedOutput (portName) : std::nullopt; },
        unit.identifiedVersions());

    listeners.call ([] (Listener& l)
                    { l.updateInProgressChanged (true); });
}

void Controller::resetUpdate()
{
    session.reset();
    phase = Phase::idle;
    updateRunning = false;
    versionQueryPending = true;
    askAfterUpdate = false;

    // The unit says again what it is before the next update. Replies on their
    // way still count: they come from the unit plugged in now.
    unit.forgetReplies();

    listeners.call ([] (Listener& l)
                    { l.updateInProgressChanged (false); });
    listeners.call ([] (Listener& l)
                    { l.progressChanged (0.0); });
}

//==============================================================================
void Controller::sysexSenderStatusChanged (FirmwareSysexSender* sender, const juce::String& status)
{
    const juce::ScopedLock sl (lock);

    // The word is the senders' interface; inside, a status is an enum. An
    // unknown word is no report.
    if (const auto known = FirmwareSysexSender::statusNamed (status); known.has_value() && session != nullptr)
        session->senderReported (sender, *known);
}

void Controller::itemStateChanged (ZarvikUnit::Image image, UpdateSession::ItemState state)
{
    // The listeners' interface speaks in item codes and state numbers.
    const auto item = ZarvikUnit::facts (image).itemCode;
    const auto code = [state]
    {
        switch (state)
        {
            case UpdateSession::ItemState::waiting:
                return waiting;
            case UpdateSession::ItemState::started:
                return started;
            case UpdateSession::ItemState::completed:
                return completed;
            case UpdateSession::ItemState::aborted:
                return aborted;
        }

        return aborted;
    }();

    listeners.call ([item, code] (Listener& l)
                    { l.firmwareItemStateChanged (item, code); });
}

void Controller::progressChanged (double progress)
{
    listeners.call ([progress] (Listener& l)
                    { l.progressChanged (progress); });
}

void Controller::sessionFinished()
{
    phase = Phase::finished;
    closeItemPorts();
    unitLeft = false;
    askAfterUpdate = false;
    unit.startCheckingUpdate();

    listeners.call ([] (Listener& l)
                    { l.progressChanged (1.0); });
}

void Controller::sessionAborted()
{
    phase = Phase::aborted;
}
