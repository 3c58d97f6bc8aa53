#include "JuceInputPort.h"

std::unique_ptr<JuceInputPort> JuceInputPort::open (const juce::String& identifier, MidiInputPortCallback& callback, const juce::String& name)
{
    std::unique_ptr<JuceInputPort> port (new JuceInputPort (callback));
    port->device = juce::MidiInput::openDevice (identifier, port.get());

    if (port->device == nullptr)
        return nullptr;

    port->name = name.isNotEmpty() ? name : port->device->getName();
    return port;
}

JuceInputPort::~JuceInputPort()
{
    // A port whose device failed to open is deleted without one.
    if (device != nullptr)
        stop();

    device.reset();
}

void JuceInputPort::start()
{
    {
        const juce::ScopedLock sl (callbackLock);
        delivering = true;
    }

    device->start();
}

void JuceInputPort::stop()
{
    device->stop();

    // JUCE's stop only clears a flag; taking the lock that every delivery
    // holds waits for one that has already begun.
    const juce::ScopedLock sl (callbackLock);
    delivering = false;
}

void JuceInputPort::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    const juce::ScopedLock sl (callbackLock);

    if (delivering)
        callback.handleIncomingMidiMessage (this, message);
}
