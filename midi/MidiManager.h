#pragma once

#include "MidiPorts.h"

/**
    The single gateway to the controller's MIDI ports, which everything else
    names only by their name ("Zarvik Audio", "Zarvik Graphics", "Zarvik
    Control"). Names are compared whole and case-sensitively; every system
    port of a name is opened. Nothing reports failure: a port that cannot be
    found or opened is simply not open afterwards.

    The open, close and send operations run on the message thread.
    Listeners are called on the input port's thread.
*/
class MidiManager final : private MidiInputPortCallback
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = 0;

        /** N.B. called on a MIDI input thread, never on the message thread. */
        virtual void midiMessageReceived (MidiInputPort* source, const juce::MidiMessage& message) = 0;
    };

    /** Uses the given port system, which must outlive the manager. */
    explicit MidiManager (MidiPortSystem& ports = MidiPortSystem::getSystemPorts());
    ~MidiManager() override;

    void openOutputPort (const juce::String& portName);
    void closeOutputPort (const juce::String& portName);
    void openInputPort (const juce::String& portName);
    void closeInputPort (const juce::String& portName);

    /** Sends the message's bytes, verbatim, to every open output of that name,
        in the order they were opened; returns once all of them have taken it.
        Returns how many outputs took the whole message: 0 when it reached no
        device. */
    int sendMessageToPort (const juce::String& portName, const juce::MidiMessage& message);

    /** Whether the system lists an output of that name right now, open or not. */
    bool isOutputPortAvailable (const juce::String& portName) const;

    /** Whether the system lists an input of that name right now, open or not. */
    bool isInputPortAvailable (const juce::String& portName) const;

    void addListener (Listener* listener);

    /** Once this returns, the listener is not being called and will not be called again. */
    void removeListener (Listener* listener);

private:
    void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message) override;
    void addOutputPort (const juce::String& portName, std::unique_ptr<MidiOutputPort> device);

    struct OutputPort
    {
        juce::String name;
        std::unique_ptr<MidiOutputPort> device;
    };

    // Walks of the listener list hold the list's own lock, so removing a
    // listener waits for a call that is under way on an input thread.
    using ListenerArray = juce::Array<Listener*, juce::CriticalSection>;

    MidiPortSystem& ports;
    std::vector<std::unique_ptr<MidiInputPort>> openInputs;
    std::vector<OutputPort> openOutputs;
    juce::ListenerList<Listener, ListenerArray> listeners;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiManager)
};
