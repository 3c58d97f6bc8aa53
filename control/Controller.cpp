#include "Controller.h"
#include "VersionQuery.h"

#include <algorithm>

namespace
{
constexpr int pollIntervalMs = 100;
constexpr int chunksPerProgressReport = 20;

// How long startUpdate waits for a unit on new ports to answer: time enough
// for the ports to be opened and asked at several polls.
constexpr int identifyingPolls = 30;

constexpr const char* controlFirmwareName = "Control Firmware";
constexpr const char* audioApplicationName = "Audio Application Firmware";
constexpr const char* graphicsApplicationName = "Graphics Application Firmware";

// The versions of the images this updater carries, by processor.
const char* const availableVersions[] = { "0.0.3.6", "0.0.2.5", "0.0.2.5" };

// The items that start together in normal mode; the asset images wait for
// an application image to finish.
bool startsAtOnce (const juce::String& itemName)
{
    return itemName == audioApplicationName
           || itemName == graphicsApplicationName
           || itemName == controlFirmwareName;
}
}

//==============================================================================
Controller::Controller (MidiManager* midiManager_, juce::OwnedArray<FirmwareItem>* items_, FirmwarePackage::Kind firmwareKind_, juce::File logFile)
    : items (items_)
    , midiManager (midiManager_)
    , firmwareKind (firmwareKind_)
    , log (std::move (logFile))
{
    const auto ports = UnitPorts::list (*midiManager);

    if (checkHardwarePresent (ports) && ! ports.listsSeveralUnits())
        connectToHardware (ports);

    resetUpdate();
    startTimer (pollIntervalMs);
}

Controller::~Controller()
{
    stopTimer();

    // Once this returns no input thread is inside midiMessageReceived, and
    // dropping the token makes replies that are already queued do nothing.
    midiManager->removeListener (this);
    alive.reset();

    senders.clear();
    log.updateEnded ("cut short: the updater quit during the transfer");
}

//==============================================================================
void Controller::addListener (Listener* listener)
{
    if (listener == nullptr)
        return;

    listeners.add (listener);

    for (int processor = 0; processor < (int) std::size (availableVersions); ++processor)
    {
        const juce::String version (availableVersions[processor]);
        listeners.call ([&] (Listener& l)
                        { l.availableVersionChanged (processor, version); });
    }
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

    const auto ports = UnitPorts::list (*midiManager);

    if (! checkHardwarePresent (ports))
    {
        closeItemPorts();

        // Whatever is plugged in next may be another unit; replies still on
        // their way to the message thread came from this one.
        forgetUnit();
        unitLeft = true;
        continueIdentifying (ports, true);
        return;
    }

    if (std::exchange (unitLeft, false) && checkingUpdate)
    {
        // Back after it left, as a unit does when it restarts after an update:
        // what it reports now is what it runs.
        for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
            setCheck (processor, waitingForUnit);

        checkLogged = false;

        if (phase == Phase::finished)
            askAfterUpdate = true;
        else
            versionQueryPending = true;
    }

    // Nobody is asked while more than one unit answers to the names.
    if (! ports.listsSeveralUnits())
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
    auto present = true;

    for (auto* item : *items)
        if (! ports.listsInput (item->getPortName()))
            present = false;

    const auto several = ports.listsSeveralUnits();
    listeners.call ([several] (Listener& l)
                    { l.severalUnitsDetectedChanged (several); });
    listeners.call ([present] (Listener& l)
                    { l.hardwareDetectedChanged (present); });
    return present;
}

void Controller::connectToHardware (const UnitPorts& ports)
{
    // Only the one port of each name is opened and asked: what answers on it
    // is the unit that later gets the firmware.
    connectedPorts = ports;

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        if (ports.isSingle (processor))
            midiManager->openOutputDevice (ports.output (processor));

    // Asked once before the inputs are open and once after: a unit that
    // answers at once is heard the second time at the latest.
    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        requestFirmwareVersion (processor);

    midiManager->addListener (this);

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        if (ports.isSingle (processor))
            midiManager->openInputDevice (ports.input (processor));

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        requestFirmwareVersion (processor);
}

void Controller::requestFirmwareVersion (int processor)
{
    if (juce::isPositiveAndBelow (processor, UnitPorts::numProcessors) && connectedPorts.isSingle (processor))
        midiManager->sendMessageToDevice (connectedPorts.output (processor).identifier, VersionQuery::createIdentityRequest());
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
    // On an input thread. Taking the message-manager lock here could hang the
    // program: the port layer holds its own lock while it calls us, and the
    // message thread takes that lock when it closes an input. So the reply is
    // read here and handled on the message thread instead.
    if (! message.isSysEx() || message.getSysExDataSize() != 35)
        return;

    const juce::Array<juce::uint8> body (message.getSysExData(), message.getSysExDataSize());

    if (! VersionQuery::isVersionReply (body))
        return;

    const Reply reply { VersionQuery::processorOfReply (body), VersionQuery::versionFromReply (body), VersionQuery::isRehearsalReply (body) };
    bool handOver;

    {
        const std::lock_guard<std::mutex> l (repliesLock);
        pendingReplies.replies[source != nullptr ? source->getIdentifier() : juce::String()] = reply;

        // One hand-over at a time, however fast replies come in: a unit that
        // floods the port must not bury the message thread under messages.
        handOver = ! pendingReplies.handOverQueued;
        pendingReplies.handOverQueued = true;
    }

    if (! handOver)
        return;

    const auto queued = juce::MessageManager::callAsync ([token = std::weak_ptr<Controller*> (alive)]
                                                         {
                                                             if (auto controller = token.lock())
                                                                 (*controller)->handlePendingReplies(); });

    if (! queued)
    {
        const std::lock_guard<std::mutex> l (repliesLock);
        pendingReplies.handOverQueued = false;
    }
}

void Controller::handlePendingReplies()
{
    PendingReplies pending;

    {
        const std::lock_guard<std::mutex> l (repliesLock);
        std::swap (pending, pendingReplies);
    }

    if (pending.replies.empty())
        return;

    // Any version reply counts as the unit's answer, even one that names no
    // processor of ours.
    versionQueryPending = false;

    for (const auto& [input, reply] : pending.replies)
    {
        replies[input] = reply;

        if (reply.processor >= 0)
        {
            listeners.call ([&, processor = reply.processor] (Listener& l)
                            { l.currentVersionChanged (processor, reply.version); });
            checkVersion (reply.processor, reply.version);
        }
    }

    const auto ports = UnitPorts::list (*midiManager);

    if (phase == Phase::finished && isIdentified (ports))
        askAfterUpdate = false;

    continueIdentifying (ports, false);
}

void Controller::forgetUnit()
{
    replies.clear();
    connectedPorts = {};

    if (! checkingUpdate)
        for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
            setCheck (processor, notChecked);

    const std::lock_guard<std::mutex> l (repliesLock);
    pendingReplies.replies.clear();
}

bool Controller::isIdentified (const UnitPorts& ports, int processor) const
{
    if (! juce::isPositiveAndBelow (processor, UnitPorts::numProcessors))
        return false;

    // The reply must have come from the only input now listed under the
    // processor's name, asked beside the only output listed there now, and
    // name that processor.
    if (! ports.isSingle (processor) || ! connectedPorts.isSingle (processor)
        || ports.input (processor) != connectedPorts.input (processor)
        || ports.output (processor) != connectedPorts.output (processor))
        return false;

    const auto reply = replies.find (ports.input (processor).identifier);
    return reply != replies.end() && reply->second.processor == processor;
}

bool Controller::isIdentified (const UnitPorts& ports) const
{
    // Every processor that an item goes to.
    for (auto* item : *items)
        if (! isIdentified (ports, UnitPorts::processorOf (item->getPortName())))
            return false;

    return true;
}

bool Controller::isRehearsalUnit (const UnitPorts& ports) const
{
    // All three processors, whatever the items: the unit as a whole says what it is.
    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        if (! isIdentified (ports, processor) || ! replies.at (ports.input (processor).identifier).fromRehearsalUnit)
            return false;

    return true;
}

std::optional<juce::MidiDeviceInfo> Controller::identifiedOutput (const juce::String& portName) const
{
    const auto processor = UnitPorts::processorOf (portName);

    if (juce::isPositiveAndBelow (processor, UnitPorts::numProcessors) && connectedPorts.isSingle (processor))
        return connectedPorts.output (processor);

    return std::nullopt;
}

std::array<juce::String, UnitPorts::numProcessors> Controller::identifiedVersions() const
{
    std::array<juce::String, UnitPorts::numProcessors> versions;

    for (const auto& [input, reply] : replies)
        for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
            if (connectedPorts.isSingle (processor) && connectedPorts.input (processor).identifier == input && reply.processor == processor)
                versions[(size_t) processor] = reply.version;

    return versions;
}

bool Controller::allItemPortsListed (const UnitPorts& ports) const
{
    for (auto* item : *items)
        if (! ports.listsInput (item->getPortName()))
            return false;

    return true;
}

int Controller::refusalFor (const UnitPorts& ports) const
{
    if (ports.listsSeveralUnits())
        return moreThanOneUnit;

    if (firmwareKind == FirmwarePackage::Kind::testFirmware && ! isRehearsalUnit (ports))
        return testFirmwareOnly;

    return noRefusal;
}

bool Controller::canUpdateConnectedUnit() const
{
    return refusalFor (UnitPorts::list (*midiManager)) == noRefusal;
}

int Controller::checkBeforeUpdate()
{
    checkingUpdate = false;
    askAfterUpdate = false;
    return refusalFor (UnitPorts::list (*midiManager));
}

//==============================================================================
void Controller::setCheck (int processor, int check)
{
    if (std::exchange (checks[(size_t) processor], check) != check)
        listeners.call ([processor, check] (Listener& l)
                        { l.versionCheckChanged (processor, check); });
}

void Controller::checkVersion (int processor, const juce::String& version)
{
    const auto carried = version == availableVersions[processor];

    if (! checkingUpdate)
    {
        // Before an update only a unit that runs the carried version is told so.
        setCheck (processor, carried ? upToDate : notChecked);
        return;
    }

    checkedVersions[(size_t) processor] = version;
    setCheck (processor, carried ? upToDate : notUpToDate);

    const auto answered = std::none_of (checks.begin(), checks.end(), [] (int c)
                                        { return c == waitingForUnit; });

    if (answered && ! std::exchange (checkLogged, true))
    {
        std::array<juce::String, UnitPorts::numProcessors> carriedVersions;

        for (int p = 0; p < UnitPorts::numProcessors; ++p)
            carriedVersions[(size_t) p] = availableVersions[p];

        log.updateChecked (checkedVersions, carriedVersions);
    }
}

void Controller::startCheckingUpdate()
{
    checkingUpdate = true;
    askAfterUpdate = false;
    unitLeft = false;
    checkLogged = false;
    checkedVersions = {};

    // What the unit said before it was updated says nothing of what it runs now.
    replies.clear();

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        setCheck (processor, waitingForUnit);
}

//==============================================================================
void Controller::startUpdate (bool solvaneMode)
{
    // A second set of senders would interleave with the first on every port.
    if (phase != Phase::idle)
        return;

    versionQueryPending = false;
    checkingUpdate = false;
    startWhenIdentified (solvaneMode, UnitPorts::list (*midiManager), true);
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
    if (! allItemPortsListed (ports))
    {
        if (testFirmware)
            refuse (testFirmwareOnly);
        else
            beginUpdate (solvaneMode, ports);

        return;
    }

    if (isIdentified (ports))
    {
        // Test firmware written into a real unit's processors would disable it.
        if (testFirmware && ! isRehearsalUnit (ports))
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

    if (ports.listsSeveralUnits() || ! allItemPortsListed (ports) || isIdentified (ports) || timeUp)
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
    totalChunks = 0;
    std::vector<const FirmwareItem*> sent;

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        setCheck (processor, notChecked);

    for (auto* item : *items)
    {
        if (solvaneMode && item->getDisplayName().contains ("Assets"))
            continue;

        midiManager->closeInputPort (item->getPortName());
        midiManager->closeOutputPort (item->getPortName());
        item->complete = false;
        item->inProgress = false;
        addSender (item);
        totalChunks += item->numChunks;
        sent.push_back (item);
    }

    log.updateStarted (solvaneMode, sent);
    log.versionsRead ("before the update", identifiedVersions());

    chunksSent = 0;
    updateRunning = true;

    for (auto code : { audioApplicationFirmware, graphicsApplicationFirmware, controlFirmware })
        listeners.call ([code] (Listener& l)
                        { l.firmwareItemStateChanged (code, waiting); });

    auto portMissing = false;

    for (auto* item : *items)
    {
        const auto output = isIdentified (ports) ? identifiedOutput (item->getPortName()) : std::nullopt;
        const auto listed = output.has_value() ? midiManager->isOutputDeviceAvailable (output->identifier)
                                               : midiManager->isOutputPortAvailable (item->getPortName());

        if (! listed)
        {
            log.portMissing (*item);
            abortUpdate();
            portMissing = true;
        }
    }

    if (! portMissing)
    {
        // A sender whose port is already taken waits for that transfer to
        // finish, so two images never interleave on one port.
        for (auto* sender : senders)
            if ((solvaneMode || startsAtOnce (sender->getItemName()))
                && ! portCarriesTransfer (sender->item->getPortName()))
                sender->startSending();
    }

    listeners.call ([] (Listener& l)
                    { l.updateInProgressChanged (true); });
}

void Controller::addSender (FirmwareItem* item)
{
    auto* sender = senders.add (new FirmwareSysexSender (item, midiManager));
    sender->addListener (this);

    // Firmware goes only to the output that was identified beside the input
    // that answered, never to another port that shares its name.
    if (const auto output = identifiedOutput (item->getPortName()))
        sender->setTargetDevice (*output);
}

void Controller::resetUpdate()
{
    senders.clear();
    phase = Phase::idle;
    updateRunning = false;
    versionQueryPending = true;
    askAfterUpdate = false;

    // The unit says again what it is before the next update. Replies on their
    // way still count: they come from the unit plugged in now.
    replies.clear();

    listeners.call ([] (Listener& l)
                    { l.updateInProgressChanged (false); });
    listeners.call ([] (Listener& l)
                    { l.progressChanged (0.0); });
}

void Controller::abortUpdate()
{
    phase = Phase::aborted;

    for (auto* sender : senders)
    {
        sender->stopSending();

        if (sender->item != nullptr)
            sender->item->inProgress = false;
    }

    log.updateEnded ("aborted");

    for (auto code : { audioApplicationFirmware, graphicsApplicationFirmware, controlFirmware })
        listeners.call ([code] (Listener& l)
                        { l.firmwareItemStateChanged (code, aborted); });
}

//==============================================================================
void Controller::sysexSenderStatusChanged (FirmwareSysexSender* sender, const juce::String& status)
{
    const juce::ScopedLock sl (lock);

    if (status == "Started")
    {
        reportItemState (sender->getItemName(), started);
    }
    else if (status == "Complete")
    {
        reportItemState (sender->getItemName(), completed);

        if (sender->item != nullptr)
            log.imageSent (*sender->item);

        // Every slice may have been sent while another sender's completion
        // tick is still to come; the update is finished only with that too.
        if (chunksSent == totalChunks && allSendersComplete())
            finishUpdate();
        else
            startNextWaitingSender (*sender);
    }
    else if (status == "Chunk")
    {
        ++chunksSent;

        // Only the end of the update reports 1.0, once: the last slice sent is
        // not yet the last image complete.
        if (chunksSent % chunksPerProgressReport == 0 && chunksSent < totalChunks)
        {
            const auto progress = (double) chunksSent / (double) totalChunks;
            listeners.call ([progress] (Listener& l)
                            { l.progressChanged (progress); });
        }
    }
    else if (status == "Error")
    {
        if (sender->item != nullptr)
            log.transferFailed (*sender->item, sender->getChunksSent(), sender->getErrorReason());

        abortUpdate();
    }
}

bool Controller::portCarriesTransfer (const juce::String& portName) const
{
    for (auto* sender : senders)
        if (sender->item != nullptr && sender->item->inProgress && sender->item->getPortName() == portName)
            return true;

    return false;
}

bool Controller::allSendersComplete() const
{
    for (auto* sender : senders)
        if (sender->item == nullptr || ! sender->item->complete)
            return false;

    return true;
}

void Controller::startNextWaitingSender (const FirmwareSysexSender& finished)
{
    // The first waiting sender, in item order, whose port is free. The control
    // firmware's completion starts only a sender of its own port, which the
    // package never has: nothing else waits for that port to be freed.
    const auto finishedControl = finished.getItemName() == controlFirmwareName;
    const auto finishedPort = finished.item != nullptr ? finished.item->getPortName() : juce::String();

    for (auto* sender : senders)
    {
        auto* item = sender->item;

        if (item == nullptr || item->inProgress || item->complete)
            continue;

        if (finishedControl && item->getPortName() != finishedPort)
            continue;

        if (portCarriesTransfer (item->getPortName()))
            continue;

        sender->startSending();
        return;
    }
}

void Controller::finishUpdate()
{
    phase = Phase::finished;
    log.updateEnded ("complete: every image sent");
    closeItemPorts();
    startCheckingUpdate();

    listeners.call ([] (Listener& l)
                    { l.progressChanged (1.0); });
}

void Controller::reportItemState (const juce::String& itemName, int state)
{
    auto code = -1;

    if (itemName.contains (controlFirmwareName))
        code = controlFirmware;
    else if (itemName == audioApplicationName)
        code = audioApplicationFirmware;
    else if (itemName == "Audio Assets")
        code = audioAssets;
    else if (itemName == graphicsApplicationName)
        code = graphicsApplicationFirmware;
    else if (itemName == "Graphics Assets")
        code = graphicsAssets;

    if (code >= 0)
        listeners.call ([code, state] (Listener& l)
                        { l.firmwareItemStateChanged (code, state); });
}
