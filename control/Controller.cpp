#include "Controller.h"
#include "VersionQuery.h"

#include <algorithm>

namespace
{
constexpr int pollIntervalMs = 100;
constexpr int chunksPerProgressReport = 20;

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
    if (checkHardwarePresent())
        connectToHardware();

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
    if (updateRunning)
        return;

    if (checkHardwarePresent())
    {
        if (versionQueryPending)
            connectToHardware();

        return;
    }

    for (auto* item : *items)
    {
        midiManager->closeInputPort (item->getPortName());
        midiManager->closeOutputPort (item->getPortName());
    }

    // Whatever is plugged in next may be another unit; replies still on their
    // way to the message thread came from this one.
    forgetUnit();
}

bool Controller::checkHardwarePresent()
{
    auto present = true;

    // Every item is looked at, so each poll costs the same whatever is missing.
    for (auto* item : *items)
        if (! midiManager->isInputPortAvailable (item->getPortName()))
            present = false;

    listeners.call ([present] (Listener& l)
                    { l.hardwareDetectedChanged (present); });
    return present;
}

void Controller::connectToHardware()
{
    for (auto* item : *items)
        midiManager->openOutputPort (item->getPortName());

    // Asked once before the inputs are open and once after: a unit that
    // answers at once is heard the second time at the latest.
    for (int processor = 0; processor < 3; ++processor)
        requestFirmwareVersion (processor);

    midiManager->addListener (this);

    for (auto* item : *items)
        midiManager->openInputPort (item->getPortName());

    for (int processor = 0; processor < 3; ++processor)
        requestFirmwareVersion (processor);
}

void Controller::requestFirmwareVersion (int processor)
{
    const auto portName = VersionQuery::portNameForProcessor (processor);

    if (portName.isNotEmpty())
        midiManager->sendMessageToPort (portName, VersionQuery::createIdentityRequest());
}

//==============================================================================
void Controller::midiMessageReceived (MidiInputPort*, const juce::MidiMessage& message)
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

    const Reply reply { VersionQuery::versionFromReply (body), VersionQuery::isRehearsalReply (body) };
    const auto processor = VersionQuery::processorOfReply (body);
    bool handOver;

    {
        const std::lock_guard<std::mutex> l (repliesLock);
        pendingReplies.answered = true;

        if (processor >= 0)
            pendingReplies.replies[(size_t) processor] = reply;

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
    PendingReplies replies;

    {
        const std::lock_guard<std::mutex> l (repliesLock);
        std::swap (replies, pendingReplies);
    }

    if (! replies.answered)
        return;

    // Any version reply counts as the unit's answer, even one that names no
    // processor of ours.
    versionQueryPending = false;

    for (int processor = 0; processor < (int) replies.replies.size(); ++processor)
    {
        if (const auto& reply = replies.replies[(size_t) processor])
        {
            rehearsalProcessors[(size_t) processor] = reply->fromRehearsalUnit;
            listeners.call ([&] (Listener& l)
                            { l.currentVersionChanged (processor, reply->version); });
        }
    }
}

bool Controller::canUpdateConnectedUnit() const
{
    return firmwareKind == FirmwarePackage::Kind::release
           || std::all_of (rehearsalProcessors.begin(), rehearsalProcessors.end(), [] (bool marked)
                           { return marked; });
}

void Controller::forgetUnit()
{
    rehearsalProcessors.fill (false);

    const std::lock_guard<std::mutex> l (repliesLock);
    pendingReplies.replies = {};
    pendingReplies.answered = false;
}

//==============================================================================
void Controller::startUpdate (bool solvaneMode)
{
    // A second set of senders would interleave with the first on every port;
    // test firmware written into a real unit's processors would disable it.
    if (updateRunning || ! canUpdateConnectedUnit())
        return;

    versionQueryPending = false;
    totalChunks = 0;
    std::vector<const FirmwareItem*> sent;

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

    chunksSent = 0;
    updateRunning = true;

    for (auto code : { audioApplicationFirmware, graphicsApplicationFirmware, controlFirmware })
        listeners.call ([code] (Listener& l)
                        { l.firmwareItemStateChanged (code, waiting); });

    auto portMissing = false;

    for (auto* item : *items)
    {
        if (! midiManager->isOutputPortAvailable (item->getPortName()))
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
}

void Controller::resetUpdate()
{
    senders.clear();
    updateRunning = false;
    versionQueryPending = true;

    // The unit says again what it is before the next update. Replies on their
    // way still count: they come from the unit plugged in now.
    rehearsalProcessors.fill (false);

    listeners.call ([] (Listener& l)
                    { l.updateInProgressChanged (false); });
    listeners.call ([] (Listener& l)
                    { l.progressChanged (0.0); });
}

void Controller::abortUpdate()
{
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

        if (chunksSent % chunksPerProgressReport == 0)
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
    log.updateEnded ("complete: every image sent");

    for (auto* item : *items)
    {
        midiManager->closeInputPort (item->getPortName());
        midiManager->closeOutputPort (item->getPortName());
    }

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
