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

    /** The system's inputs and outputs now, names and identifiers, in its order. */
    juce::Array<juce::MidiDeviceInfo> getInputDevices() const;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() const;

    /** Opens that one device, unless a device of that identifier is open
        already; other devices of its name are left as they are. It counts as
        open under its name for the operations by name. */
    void openOutputDevice (const juce::MidiDeviceInfo& device);
    void openInputDevice (const juce::MidiDeviceInfo& device);

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

    /** As sendMessageToPort and sendToPort, to the open output of that identifier alone. */
    int sendMessageToDevice (const juce::String& identifier, const juce::MidiMessage& message);
    juce::Result sendToDevice (const juce::String& identifier, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver = nullptr);

    /** Whether the system lists an output of that name right now, open or not. */
    bool isOutputPortAvailable (const juce::String& portName) const;

    /** Whether the system lists an output of that identifier right now, open or not. */
    bool isOutputDeviceAvailable (const juce::String& identifier) const;

    /** Whether the system lists an input of that name right now, open or not. */
    bool isInputPortAvailable (const juce::String& portName) const;

    void addListener (Listener* listener);

    /** Once this returns, the listener is not being called and will not be called again. */
    void removeListener (Listener* listener);

private:
    struct OpenOutput;

    void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message) override;
    void openOutput (const juce::MidiDeviceInfo& device, juce::String& whyNotOpen);
    void openInput (const juce::MidiDeviceInfo& device);
    std::vector<std::shared_ptr<OpenOutput>> findOutputs (const juce::String& nameOrIdentifier, bool byIdentifier, juce::String& whyNotOpen) const;
    int sendMessage (const std::vector<std::shared_ptr<OpenOutput>>& outputs, const juce::MidiMessage& message);
    juce::Result send (const std::vector<std::shared_ptr<OpenOutput>>& outputs, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver);

    struct OutputPort
    {
        juce::MidiDeviceInfo info;
        std::shared_ptr<OpenOutput> device;
    };

    // Walks of the listener list hold the list's own lock, so removing a
    // listener waits for a call that is under way on an input thread.
    using ListenerArray = juce::Array<Listener*, juce::CriticalSection>;

    MidiPortSystem& ports;
    std::vector<std::unique_ptr<MidiInputPort>> openInputs;
    std::vector<OutputPort> openOutputs;
    std::map<juce::String, juce::String> outputOpenFailures; // why the last open of a name or identifier found no device
    juce::ListenerList<Listener, ListenerArray> listeners;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiManager)
};
