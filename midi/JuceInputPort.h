#pragma once

#include "MidiPorts.h"

/**
    A system MIDI input opened through JUCE (juce::MidiInput), which delivers
    complete messages, SysEx included, on its own thread. Unlike JUCE's, its
    stop waits for a callback in progress. The platform files use it for the
    system's inputs.
*/
class JuceInputPort final : public MidiInputPort, private juce::MidiInputCallback
{
public:
    /** Null when JUCE cannot open the device of that identifier. The port is
        named `name`, the platform's own name for the device, when one is given,
        otherwise by JUCE. */
    static std::unique_ptr<JuceInputPort> open (const juce::String& identifier, MidiInputPortCallback& callback, const juce::String& name = {});

    ~JuceInputPort() override;

    juce::String getName() const override { return name; }
    void start() override;
    void stop() override;

private:
    explicit JuceInputPort (MidiInputPortCallback& cb)
        : callback (cb) {}

    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override;

    MidiInputPortCallback& callback;
    std::unique_ptr<juce::MidiInput> device;
    juce::String name;
    juce::CriticalSection callbackLock;
    bool delivering = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (JuceInputPort)
};
