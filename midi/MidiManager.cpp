#include "MidiManager.h"

#include <algorithm>

namespace
{
// Each input device gets a pause of its own before it is opened, so that a
// device the system has only just listed has settled.
constexpr int inputOpenDelayMs = 50;

bool lists (const juce::Array<juce::MidiDeviceInfo>& devices, const juce::String& portName)
{
    return std::any_of (devices.begin(), devices.end(), [&] (const auto& d)
                        { return d.name == portName; });
}
}

MidiManager::Listener::~Listener() = default;

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
        if (output.name == portName)
            return;

    for (auto& info : ports.getOutputs())
    {
        if (info.name != portName)
            continue;

        // A failed open only leaves the port closed; it must never escape into
        // the caller's timer or button handler.
        try
        {
            if (auto device = ports.openOutput (info.identifier))
                addOutputPort (portName, std::move (device));
        }
        catch (const std::exception&)
        {
        }
    }
}

void MidiManager::addOutputPort (const juce::String& portName, std::unique_ptr<MidiOutputPort> device)
{
    const juce::ScopedLock sl (lock);
    openOutputs.push_back ({ portName, std::move (device) });
}

void MidiManager::closeOutputPort (const juce::String& portName)
{
    const juce::ScopedLock sl (lock);

    openOutputs.erase (std::remove_if (openOutputs.begin(), openOutputs.end(), [&] (const auto& output)
                                       { return output.name == portName; }),
                       openOutputs.end());
}

void MidiManager::openInputPort (const juce::String& portName)
{
    for (auto& input : openInputs)
        if (input->getName() == portName)
            return;

    for (auto& info : ports.getInputs())
    {
        if (info.name != portName)
            continue;

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
int MidiManager::sendMessageToPort (const juce::String& portName, const juce::MidiMessage& message)
{
    const juce::ScopedLock sl (lock);
    int delivered = 0;

    for (auto& output : openOutputs)
        if (output.name == portName && output.device->send (message.getRawData(), (size_t) message.getRawDataSize()))
            ++delivered;

    return delivered;
}

bool MidiManager::isOutputPortAvailable (const juce::String& portName) const
{
    return lists (ports.getOutputs(), portName);
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
