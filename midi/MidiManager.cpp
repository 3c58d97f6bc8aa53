#include "MidiManager.h"

#include <algorithm>
#include <thread>

namespace
{
// Identity requests are six bytes sent from the message thread while no update
// runs; a port that cannot take them this quickly is asked again at the next poll.
constexpr std::chrono::milliseconds queryTimeLimit { 250 };

bool lists (const juce::Array<juce::MidiDeviceInfo>& devices, const juce::String& portName)
{
    return std::any_of (devices.begin(), devices.end(), [&] (const auto& d)
                        { return d.name == portName; });
}

PortFailure failureOf (const std::exception& e)
{
    if (const auto* error = dynamic_cast<const PortError*> (&e))
        return error->failure;

    return { PortFailure::Kind::refused, juce::String::fromUTF8 (e.what()) };
}
}

MidiManager::Listener::~Listener() = default;

//==============================================================================
MidiManager::Output::Output (juce::MidiDeviceInfo deviceInfo, std::unique_ptr<MidiOutputPort> openDevice)
    : info (std::move (deviceInfo)), device (std::move (openDevice))
{
}

PortFailure MidiManager::Output::send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver)
{
    const std::lock_guard<std::mutex> l (writing);

    if (closed)
        return { PortFailure::Kind::notOpen, "the updater closed the port" };

    return device->send (data, size, timeLimit, handedOver);
}

//==============================================================================
MidiManager::MidiManager (MidiPortSystem& portsToUse)
    : ports (portsToUse)
{
}

MidiManager::~MidiManager()
{
    std::vector<std::weak_ptr<Output>> held;

    {
        const juce::ScopedLock sl (lock);

        for (auto& output : openOutputs)
        {
            output->closed = true;
            held.push_back (output);
        }

        openOutputs.clear();
        held.insert (held.end(), closedButHeld.begin(), closedButHeld.end());
    }

    // A stopped transfer lets go of its output once a write under way has
    // returned, which the stall limit bounds; a device must not outlive the
    // port system it came from.
    const auto deadline = std::chrono::steady_clock::now() + 2 * MidiOutputPort::stallLimit;

    while (std::any_of (held.begin(), held.end(), [] (const auto& o)
                        { return ! o.expired(); })
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for (std::chrono::milliseconds (1));

    // From here on a message that still arrives reaches no listener.
    listeners.clear();

    while (! openInputs.empty())
        openInputs.pop_back();
}

//==============================================================================
void MidiManager::openOutputPort (const juce::String& portName)
{
    for (auto& output : openOutputs)
        if (output->info.name == portName)
            return;

    PortFailure whyNot { PortFailure::Kind::notOpen, "no device of that name is listed" };

    for (auto& info : ports.getOutputs())
        if (info.name == portName)
            openOutput (info, whyNot);

    const juce::ScopedLock sl (lock);
    outputOpenFailures[portName] = whyNot;
}

void MidiManager::openOutputDevice (const juce::MidiDeviceInfo& device)
{
    for (auto& output : openOutputs)
        if (output->info.identifier == device.identifier)
            return;

    PortFailure whyNot { PortFailure::Kind::notOpen, "no device of that identifier is listed" };

    for (auto& info : ports.getOutputs())
        if (info == device)
            openOutput (info, whyNot);

    const juce::ScopedLock sl (lock);
    outputOpenFailures[device.identifier] = whyNot;
}

void MidiManager::openOutput (const juce::MidiDeviceInfo& info, PortFailure& whyNotOpen)
{
    // A failed open only leaves the port closed; it must never escape into
    // the caller's timer or button handler. Why it failed is kept for the
    // transfer that then finds the port closed.
    try
    {
        if (auto device = ports.openOutput (info.identifier))
        {
            const juce::ScopedLock sl (lock);
            openOutputs.push_back (std::make_shared<Output> (info, std::move (device)));
        }
        else
        {
            whyNotOpen = { PortFailure::Kind::notOpen, "the system could not open it" };
        }
    }
    catch (const std::exception& e)
    {
        whyNotOpen = failureOf (e);
    }
}

void MidiManager::closeOutputPort (const juce::String& portName)
{
    const juce::ScopedLock sl (lock);

    for (auto i = openOutputs.begin(); i != openOutputs.end();)
    {
        if ((*i)->info.name != portName)
        {
            ++i;
            continue;
        }

        // A transfer that still holds it finds it closed at its next write,
        // and the device goes once that transfer lets go of it.
        (*i)->closed = true;

        if (i->use_count() > 1)
            closedButHeld.push_back (*i);

        i = openOutputs.erase (i);
    }

    closedButHeld.erase (std::remove_if (closedButHeld.begin(), closedButHeld.end(), [] (const auto& o)
                                         { return o.expired(); }),
                         closedButHeld.end());
}

void MidiManager::openInputPort (const juce::String& portName)
{
    for (auto& input : openInputs)
        if (input->getName() == portName)
            return;

    for (auto& info : ports.getInputs())
        if (info.name == portName)
            openInput (info);
}

void MidiManager::openInputDevice (const juce::MidiDeviceInfo& device)
{
    for (auto& input : openInputs)
        if (input->getIdentifier() == device.identifier)
            return;

    for (auto& info : ports.getInputs())
        if (info == device)
            openInput (info);
}

void MidiManager::openInput (const juce::MidiDeviceInfo& info)
{
    try
    {
        if (auto device = ports.openInput (info.identifier, this))
        {
            const juce::ScopedLock sl (lock);
            openInputs.push_back (std::move (device));
            openInputs.back()->start();
        }
    }
    catch (const std::exception&)
    {
    }
}

void MidiManager::closeInputPort (const juce::String& portName)
{
    std::vector<std::unique_ptr<MidiInputPort>> closing;

    {
        const juce::ScopedLock sl (lock);

        for (auto i = openInputs.begin(); i != openInputs.end();)
        {
            if ((*i)->getName() == portName)
            {
                closing.push_back (std::move (*i));
                i = openInputs.erase (i);
            }
            else
            {
                ++i;
            }
        }
    }

    // Stopping waits for a callback under way on the input's thread, so it
    // happens outside the lock: that callback may be waiting for the lock.
    for (auto& input : closing)
    {
        input->stop();
        input.reset();
    }
}

//==============================================================================
std::vector<std::shared_ptr<MidiManager::Output>> MidiManager::findOutputs (const juce::String& nameOrIdentifier, bool byIdentifier, PortFailure& whyNotOpen) const
{
    const juce::ScopedLock sl (lock);
    std::vector<std::shared_ptr<Output>> found;

    for (auto& output : openOutputs)
        if ((byIdentifier ? output->info.identifier : output->info.name) == nameOrIdentifier)
            found.push_back (output);

    if (found.empty())
    {
        const auto failure = outputOpenFailures.find (nameOrIdentifier);
        whyNotOpen = failure != outputOpenFailures.end() ? failure->second : PortFailure { PortFailure::Kind::notOpen, {} };

        // Whatever made the open find nothing, the port is not open; a refusal
        // says so in its own words.
        if (whyNotOpen.kind == PortFailure::Kind::refused)
            whyNotOpen = { PortFailure::Kind::notOpen, whyNotOpen.detail };
        else if (whyNotOpen.kind != PortFailure::Kind::notOpen)
            whyNotOpen = { PortFailure::Kind::notOpen, whyNotOpen.describe() };
    }

    return found;
}

std::vector<std::shared_ptr<MidiManager::Output>> MidiManager::acquireOutputs (const juce::String& portName, PortFailure& whyNot)
{
    openOutputPort (portName);
    return findOutputs (portName, false, whyNot);
}

std::shared_ptr<MidiManager::Output> MidiManager::acquireOutput (const juce::MidiDeviceInfo& device, PortFailure& whyNot)
{
    openOutputDevice (device);
    const auto found = findOutputs (device.identifier, true, whyNot);
    return found.empty() ? nullptr : found.front();
}

int MidiManager::sendMessageToPort (const juce::String& portName, const juce::MidiMessage& message)
{
    PortFailure unused;
    return sendMessage (findOutputs (portName, false, unused), message);
}

int MidiManager::sendMessageToDevice (const juce::String& identifier, const juce::MidiMessage& message)
{
    PortFailure unused;
    return sendMessage (findOutputs (identifier, true, unused), message);
}

int MidiManager::sendMessage (const std::vector<std::shared_ptr<Output>>& outputs, const juce::MidiMessage& message)
{
    int delivered = 0;

    for (auto& output : outputs)
        if (! output->send (message.getRawData(), (size_t) message.getRawDataSize(), queryTimeLimit).failed())
            ++delivered;

    return delivered;
}

bool MidiManager::isOutputPortAvailable (const juce::String& portName) const
{
    return lists (ports.getOutputs(), portName);
}

bool MidiManager::isOutputDeviceAvailable (const juce::String& identifier) const
{
    const auto outputs = ports.getOutputs();
    return std::any_of (outputs.begin(), outputs.end(), [&] (const auto& d)
                        { return d.identifier == identifier; });
}

bool MidiManager::isInputPortAvailable (const juce::String& portName) const
{
    return lists (ports.getInputs(), portName);
}

juce::Array<juce::MidiDeviceInfo> MidiManager::getInputDevices() const
{
    return ports.getInputs();
}

juce::Array<juce::MidiDeviceInfo> MidiManager::getOutputDevices() const
{
    return ports.getOutputs();
}

//==============================================================================
void MidiManager::addListener (Listener* listener)
{
    if (listener != nullptr)
        listeners.add (listener);
}

void MidiManager::removeListener (Listener* listener)
{
    if (listener != nullptr)
        listeners.remove (listener);
}

void MidiManager::handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message)
{
    // Newest listener first, on this input's thread, under the list's lock.
    listeners.call (&Listener::midiMessageReceived, source, message);
}
