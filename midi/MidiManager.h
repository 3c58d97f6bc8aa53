#pragma once

#include "MidiPorts.h"

#include <map>

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
        in the order they were opened; returns once all of them have taken it,
        or have failed to within a short time limit (these are small messages
        sent from the message thread). Returns how many outputs took the whole
        message: 0 when it reached no device. */
    int sendMessageToPort (const juce::String& portName, const juce::MidiMessage& message);

    /** Sends `size` bytes, verbatim, as one buffer to every open output of that
        name, in the order they were opened, each within the outputs' stall
        limit. Fails, saying why, unless every one of them took every byte: the
        port is not open (and why it could not be opened), a device has gone, a
        write failed or timed out.

        Any thread. No lock of the manager is held while a device writes, so a
        slow or stalled device never holds up the message thread; an output
        closed meanwhile is deleted once its write has returned.

        `handedOver`, when given, is set as the first device's send sets it
        (see MidiOutputPort::send). */
    juce::Result sendToPort (const juce::String& portName, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver = nullptr);

    /** Whether the system lists an output of that name right now, open or not. */
    bool isOutputPortAvailable (const juce::String& portName) const;

    /** Whether the system lists an input of that name right now, open or not. */
    bool isInputPortAvailable (const juce::String& portName) const;

    void addListener (Listener* listener);

    /** Once this returns, the listener is not being called and will not be called again. */
    void removeListener (Listener* listener);

private:
    struct OpenOutput;

    void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message) override;
    void addOutputPort (const juce::String& portName, std::unique_ptr<MidiOutputPort> device);
    std::vector<std::shared_ptr<OpenOutput>> findOutputs (const juce::String& portName, juce::String& whyNotOpen) const;

    struct OutputPort
    {
        juce::String name;
        std::shared_ptr<OpenOutput> device;
    };

    // Walks of the listener list hold the list's own lock, so removing a
    // listener waits for a call that is under way on an input thread.
    using ListenerArray = juce::Array<Listener*, juce::CriticalSection>;

    MidiPortSystem& ports;
    std::vector<std::unique_ptr<MidiInputPort>> openInputs;
    std::vector<OutputPort> openOutputs;
    std::map<juce::String, juce::String> outputOpenFailures; // why the last open of a name found no device
    juce::ListenerList<Listener, ListenerArray> listeners;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiManager)
};
