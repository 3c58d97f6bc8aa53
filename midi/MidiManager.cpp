#include "MidiManager.h"

#include <algorithm>

namespace
{
// Each input device gets a pause of its own before it is opened, so that a
// device the system has only just listed has settled.
constexpr int inputOpenDelayMs = 50;

// Identity requests are six bytes sent from the message thread while no update
// runs; a port that cannot take them this quickly is asked again at the next poll.
constexpr std::chrono::milliseconds queryTimeLimit { 250 };

bool lists (const juce::Array<juce::MidiDeviceInfo>& devices, const juce::String& portName)
{
    return std::any_of (devices.begin(), devices.end(), [&] (const auto& d)
                        { return d.name == portName; });
}
}

MidiManager::Listener::~Listener() = default;

/** An open output and the lock that lets one thread at a time write to it. */
struct MidiManager::OpenOutput
{
    explicit OpenOutput (std::unique_ptr<MidiOutputPort> d)
        : device (std::move (d)) {}

    juce::Result send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver = nullptr)
    {
        const std::lock_guard<std::mutex> l (sending);
        return device->send (data, size, timeLimit, handedOver);
    }

    std::mutex sending;
    const std::unique_ptr<MidiOutputPort> device;
};

MidiManager::MidiManager (MidiPortSystem& portsToUse)
    : ports (portsToUse)
{
}

MidiManager::~MidiManager()
{
    {
        const juce::ScopedLock sl (lock);

        for (auto& output : openOutputs)
            output.device.reset();
    }

    // From here on a message that still arrives reaches no listener.
    listeners.clear();

    {
        const juce::ScopedLock sl (lock);
        openOutputs.clear();
    }

    while (! openInputs.empty())
        openInputs.pop_back();
}

//==============================================================================
void MidiManager::openOutputPort (const juce::String& portName)
{
    for (auto& output : openOutputs)
        if (output.info.name == portName)
            return;

    juce::String whyNot = "no device of that name is listed";

    for (auto& info : ports.getOutputs())
        if (info.name == portName)
            openOutput (info, whyNot);

    const juce::ScopedLock sl (lock);
    outputOpenFailures[portName] = whyNot;
}

void MidiManager::openOutputDevice (const juce::MidiDeviceInfo& device)
{
    for (auto& output : openOutputs)
        if (output.info.identifier == device.identifier)
            return;

    juce::String whyNot = "no device of that identifier is listed";

    for (auto& info : ports.getOutputs())
        if (info == device)
            openOutput (info, whyNot);

    const juce::ScopedLock sl (lock);
    outputOpenFailures[device.identifier] = whyNot;
}

void MidiManager::openOutput (const juce::MidiDeviceInfo& info, juce::String& whyNotOpen)
{
    // A failed open only leaves the port closed; it must never escape into
    // the caller's timer or button handler. Why it failed is kept for the
    // transfer that then finds the port closed.
    try
    {
        if (auto device = ports.openOutput (info.identifier))
        {
            const juce::ScopedLock sl (lock);
            openOutputs.push_back ({ info, std::make_shared<OpenOutput> (std::move (device)) });
        }
        else
        {
            whyNotOpen = "the system could not open it";
        }
    }
    catch (const std::exception& e)
    {
        whyNotOpen = juce::String::fromUTF8 (e.what());
    }
}

void MidiManager::closeOutputPort (const juce::String& portName)
{
    const juce::ScopedLock sl (lock);

    openOutputs.erase (std::remove_if (openOutputs.begin(), openOutputs.end(), [&] (const auto& output)
                                       { return output.info.name == portName; }),
                       openOutputs.end());
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
        juce::Thread::sleep (inputOpenDelayMs);

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
std::vector<std::shared_ptr<MidiManager::OpenOutput>> MidiManager::findOutputs (const juce::String& nameOrIdentifier, bool byIdentifier, juce::String& whyNotOpen) const
{
    const juce::ScopedLock sl (lock);
    std::vector<std::shared_ptr<OpenOutput>> found;

    for (auto& output : openOutputs)
        if ((byIdentifier ? output.info.identifier : output.info.name) == nameOrIdentifier)
            found.push_back (output.device);

    if (found.empty())
    {
        const auto failure = outputOpenFailures.find (nameOrIdentifier);
        whyNotOpen = "not open" + (failure != outputOpenFailures.end() ? ": " + failure->second : juce::String());
    }

    return found;
}

int MidiManager::sendMessageToPort (const juce::String& portName, const juce::MidiMessage& message)
{
    juce::String unused;
    return sendMessage (findOutputs (portName, false, unused), message);
}

int MidiManager::sendMessageToDevice (const juce::String& identifier, const juce::MidiMessage& message)
{
    juce::String unused;
    return sendMessage (findOutputs (identifier, true, unused), message);
}

int MidiManager::sendMessage (const std::vector<std::shared_ptr<OpenOutput>>& outputs, const juce::MidiMessage& message)
{
    int delivered = 0;

    for (auto& output : outputs)
        if (output->send (message.getRawData(), (size_t) message.getRawDataSize(), queryTimeLimit).wasOk())
            ++delivered;

    return delivered;
}

juce::Result MidiManager::sendToPort (const juce::String& portName, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver)
{
    juce::String whyNotOpen;
    const auto outputs = findOutputs (portName, false, whyNotOpen);
    return outputs.empty() ? juce::Result::fail (whyNotOpen) : send (outputs, data, size, handedOver);
}

juce::Result MidiManager::sendToDevice (const juce::String& identifier, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver)
{
    juce::String whyNotOpen;
    const auto outputs = findOutputs (identifier, true, whyNotOpen);
    return outputs.empty() ? juce::Result::fail (whyNotOpen) : send (outputs, data, size, handedOver);
}

juce::Result MidiManager::send (const std::vector<std::shared_ptr<OpenOutput>>& outputs, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver)
{
    // Every device of the name gets the buffer, even after one has failed,
    // so that one failing unit does not cut the image of another short.
    auto result = juce::Result::ok();

    for (auto& output : outputs)
    {
        const auto sent = output->send (data, size, MidiOutputPort::stallLimit, output == outputs.front() ? handedOver : nullptr);

        if (result.wasOk())
            result = sent;
    }

    return result;
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

juce::Array<juce::MidiDeviceInfo> MidiManager::getInputDevices() const
{
    return ports.getInputs();
}

juce::Array<juce::MidiDeviceInfo> MidiManager::getOutputDevices() const
{
    return ports.getOutputs();
}

bool MidiManager::isInputPortAvailable (const juce::String& portName) const
{
    return lists (ports.getInputs(), portName);
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
