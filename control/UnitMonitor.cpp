#include "UnitMonitor.h"
#include "VersionQuery.h"

UnitMonitor::UnitMonitor (MidiManager& manager, MidiManager::Listener& replies_, const juce::OwnedArray<FirmwareItem>& items_, Listener& listener_, UpdateLog& log_)
    : midiManager (manager)
    , replyListener (replies_)
    , items (items_)
    , listener (listener_)
    , log (log_)
{
}

UnitMonitor::~UnitMonitor()
{
    // A hand-over still queued is dropped with the monitor.
    cancelPendingUpdate();
}

bool UnitMonitor::allItemPortsListed (const UnitPorts& ports) const
{
    for (auto* item : items)
        if (! ports.listsInput (item->getPortName()))
            return false;

    return true;
}

//==============================================================================
void UnitMonitor::connect (const UnitPorts& ports)
{
    // Only the one port of each name is opened and asked: what answers on it
    // is the unit that later gets the firmware.
    connectedPorts = ports;

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        if (ports.isSingle (processor))
            midiManager.openOutputDevice (ports.output (processor));

    // Asked once before the inputs are open and once after: a unit that
    // answers at once is heard the second time at the latest.
    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        requestVersion (processor);

    midiManager.addListener (&replyListener);

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        if (ports.isSingle (processor))
            midiManager.openInputDevice (ports.input (processor));

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        requestVersion (processor);
}

void UnitMonitor::requestVersion (int processor)
{
    if (juce::isPositiveAndBelow (processor, UnitPorts::numProcessors) && connectedPorts.isSingle (processor))
        midiManager.sendMessageToDevice (connectedPorts.output (processor).identifier, VersionQuery::createIdentityRequest());
}

void UnitMonitor::forget()
{
    replies.clear();
    connectedPorts = {};

    if (! checkingUpdate)
        for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
            setCheck (processor, notChecked);

    const std::lock_guard<std::mutex> l (pendingLock);
    pending.clear();
}

//==============================================================================
bool UnitMonitor::isIdentified (const UnitPorts& ports, int processor) const
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

bool UnitMonitor::isIdentified (const UnitPorts& ports) const
{
    for (auto* item : items)
        if (! isIdentified (ports, UnitPorts::processorOf (item->getPortName())))
            return false;

    return true;
}

bool UnitMonitor::isRehearsalUnit (const UnitPorts& ports) const
{
    // All three processors, whatever the items: the unit as a whole says what it is.
    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        if (! isIdentified (ports, processor) || ! replies.at (ports.input (processor).identifier).fromRehearsalUnit)
            return false;

    return true;
}

std::optional<juce::MidiDeviceInfo> UnitMonitor::identifiedOutput (const juce::String& portName) const
{
    const auto processor = UnitPorts::processorOf (portName);

    if (juce::isPositiveAndBelow (processor, UnitPorts::numProcessors) && connectedPorts.isSingle (processor))
        return connectedPorts.output (processor);

    return std::nullopt;
}

UpdateLog::Versions UnitMonitor::identifiedVersions() const
{
    UpdateLog::Versions versions;

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
    {
        if (! connectedPorts.isSingle (processor))
            continue;

        const auto reply = replies.find (connectedPorts.input (processor).identifier);

        if (reply != replies.end() && reply->second.processor == processor)
            versions[(size_t) processor] = reply->second.version;
    }

    return versions;
}

//==============================================================================
void UnitMonitor::readMessage (MidiInputPort* source, const juce::MidiMessage& message)
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

    {
        const std::lock_guard<std::mutex> l (pendingLock);
        pending[source != nullptr ? source->getIdentifier() : juce::String()] = { VersionQuery::processorOfReply (body),
                                                                                  VersionQuery::versionFromReply (body),
                                                                                  VersionQuery::isRehearsalReply (body) };
    }

    triggerAsyncUpdate();
}

void UnitMonitor::handleAsyncUpdate()
{
    std::map<juce::String, Reply> arrived;

    {
        const std::lock_guard<std::mutex> l (pendingLock);
        std::swap (arrived, pending);
    }

    for (const auto& [input, reply] : arrived)
    {
        replies[input] = reply;

        if (reply.processor >= 0)
            checkVersion (reply.processor, reply.version);

        listener.versionReplied (reply.processor, reply.version);
    }
}

//==============================================================================
void UnitMonitor::startCheckingUpdate()
{
    checkingUpdate = true;
    checkLogged = false;
    checkedVersions = {};

    // What the unit said before it was updated says nothing of what it runs now.
    replies.clear();

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        setCheck (processor, waitingForUnit);
}

void UnitMonitor::endCheckingUpdate()
{
    checkingUpdate = false;
}

void UnitMonitor::unitCameBack()
{
    if (! checkingUpdate)
        return;

    // Back after it left, as a unit does when it restarts after an update:
    // what it reports now is what it runs.
    checkLogged = false;

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        setCheck (processor, waitingForUnit);
}

void UnitMonitor::clearChecks()
{
    checkingUpdate = false;

    for (int processor = 0; processor < UnitPorts::numProcessors; ++processor)
        setCheck (processor, notChecked);
}

void UnitMonitor::setCheck (int processor, int check)
{
    if (std::exchange (checks[(size_t) processor], check) != check)
        listener.versionCheckChanged (processor, check);
}

void UnitMonitor::checkVersion (int processor, const juce::String& version)
{
    const auto carried = VersionQuery::carriedVersions()[(size_t) processor];

    if (! checkingUpdate)
    {
        // Before an update only a unit that runs the carried version is told so.
        setCheck (processor, version == carried ? upToDate : notChecked);
        return;
    }

    checkedVersions[(size_t) processor] = version;
    setCheck (processor, version == carried ? upToDate : notUpToDate);

    const auto answered = std::none_of (checks.begin(), checks.end(), [] (int c)
                                        { return c == waitingForUnit; });

    if (answered && ! std::exchange (checkLogged, true))
        log.updateChecked (checkedVersions, VersionQuery::carriedVersions());
}
