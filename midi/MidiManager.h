#pragma once

#include "MidiPorts.h"

#include <map>
#include <mutex>

/**
    The single gateway to the controller's MIDI ports, which are named
    ("Zarvik Audio", "Zarvik Graphics", "Zarvik Control") or, once the unit
    has been identified, taken by their system identifier. Names are compared
    whole and case-sensitively; every system port of a name is opened.
    Opening reports nothing: a port that cannot be found or opened is simply
    not open afterwards, and why is kept for whoever then sends to it.

    The open, close and send operations run on the message thread, and never
    wait for a device. Listeners are called on the input port's thread.
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

    /**
        An open output as a transfer holds it, from its first slice to its
        last: the device stays open while it is held, even once the manager
        has closed it (its sends then fail as not open), and one write at a
        time reaches it.
    */
    class Output final
    {
    public:
        Output (juce::MidiDeviceInfo info, std::unique_ptr<MidiOutputPort> device);

        const juce::MidiDeviceInfo& getInfo() const noexcept { return info; }

        /** Sends `size` bytes verbatim as one buffer within the stall limit
            (MidiOutputPort::send). Any thread. */
        PortFailure send (const void* data, size_t size, std::chrono::milliseconds timeLimit = MidiOutputPort::stallLimit, std::chrono::steady_clock::time_point* handedOver = nullptr);

        /** Whether the system still has the port: asks about it alone, and
            takes no lock of the manager's or of a write under way. Any thread. */
        bool isPresent() const { return device->isPresent(); }

    private:
        friend class MidiManager;

        const juce::MidiDeviceInfo info;
        const std::unique_ptr<MidiOutputPort> device;
        std::mutex writing;
        std::atomic<bool> closed { false };

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Output)
    };

    /** Uses the given port system, which must outlive the manager. */
    explicit MidiManager (MidiPortSystem& ports = MidiPortSystem::getSystemPorts());

    /** Closes every port. Transfers that still hold an output are waited for:
        they let go of it within the stall limit once they have been stopped. */
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

    /** Opens the outputs of that name, or that one device, as the open
        operations do, and returns them for a transfer to hold; none, with
        why in `whyNot`, when none is open. */
    std::vector<std::shared_ptr<Output>> acquireOutputs (const juce::String& portName, PortFailure& whyNot);
    std::shared_ptr<Output> acquireOutput (const juce::MidiDeviceInfo& device, PortFailure& whyNot);

    /** Sends the message's bytes, verbatim, to every open output of that name,
        in the order they were opened; returns once all of them have taken it,
        or have failed to within a short time limit (these are small messages
        sent from the message thread). Returns how many outputs took the whole
        message: 0 when it reached no device. */
    int sendMessageToPort (const juce::String& portName, const juce::MidiMessage& message);

    /** As sendMessageToPort, to the open output of that identifier alone. */
    int sendMessageToDevice (const juce::String& identifier, const juce::MidiMessage& message);

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
    void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message) override;
    void openOutput (const juce::MidiDeviceInfo& device, PortFailure& whyNotOpen);
    void openInput (const juce::MidiDeviceInfo& device);
    std::vector<std::shared_ptr<Output>> findOutputs (const juce::String& nameOrIdentifier, bool byIdentifier, PortFailure& whyNotOpen) const;
    int sendMessage (const std::vector<std::shared_ptr<Output>>& outputs, const juce::MidiMessage& message);

    // Walks of the listener list hold the list's own lock, so removing a
    // listener waits for a call that is under way on an input thread.
    using ListenerArray = juce::Array<Listener*, juce::CriticalSection>;

    MidiPortSystem& ports;
    std::vector<std::unique_ptr<MidiInputPort>> openInputs;
    std::vector<std::shared_ptr<Output>> openOutputs;
    std::vector<std::weak_ptr<Output>> closedButHeld; // closed while a transfer held them
    std::map<juce::String, PortFailure> outputOpenFailures; // why the last open of a name or identifier found no device
    juce::ListenerList<Listener, ListenerArray> listeners;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiManager)
};
