#pragma once

#include "midi/MidiPorts.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

/**
    MIDI ports that live inside this process, for tests, the simulated unit and
    benchmarks. They behave like a system's ports: devices are plugged in and
    unplugged at any moment from any thread, several may share a name, opening
    can fail, a send blocks for as long as the bytes take at the device's byte
    rate, waits for a device that stops reading up to its time limit and fails
    once the device is gone, and each open input delivers its
    messages on a thread of its own.

    Each plugged device has an input and an output of one name (as a USB MIDI
    device has). Its far end, the Device, is what a simulated unit talks
    through: it receives every buffer the host sends, verbatim and in order,
    and sends messages back to the host's open inputs of that device.

    The set must outlive every port opened from it and every Device handle
    that is still used.
*/
class InProcessMidiPorts final : public MidiPortSystem
{
public:
    /** How opening one direction of a device turns out. */
    enum class OpenBehaviour
    {
        opens,
        returnsNull,
        throwsException
    };

    /** The device end of one plugged port. All members may be called from any thread. */
    class Device final
    {
    public:
        /** Receives one buffer that the host sent, with its bytes as sent and the time
            the send began. Called on the host's sending thread while that send is
            blocked; may call unplug(). */
        using BufferHandler = std::function<void (const juce::uint8* data, size_t size, std::chrono::steady_clock::time_point sent)>;

        juce::String getName() const { return name; }
        juce::String getIdentifier() const { return identifier; }

        void setBufferHandler (BufferHandler handler);

        /** Bytes per second that a send is held for; 0 means the bytes are taken at once. */
        void setByteRate (double bytesPerSecond);

        /** A device that stops reading stays plugged in but takes no bytes: sends
            wait until it reads again, is unplugged, or their time limit passes. */
        void setReading (bool reading);

        void setOpenBehaviour (OpenBehaviour inputBehaviour, OpenBehaviour outputBehaviour);

        /** Queues the message for every open, started host input of this device. Returns
            how many inputs it was queued for. */
        int sendToHost (const juce::MidiMessage& message);

        /** Removes the device from the system's lists. Sends that are blocked on it return
            false at once, later sends fail, and its inputs receive nothing more. */
        void unplug();

        bool isPlugged() const;

        /** How often the host has opened each direction (successful opens only). */
        int getInputOpenCount() const;
        int getOutputOpenCount() const;

        /** Host ports of this device that are open right now. */
        int getOpenInputCount() const;
        int getOpenOutputCount() const;

        Device (InProcessMidiPorts& owner, juce::String name, juce::String identifier, bool hasInput, bool hasOutput);
        ~Device();

    private:
        friend class InProcessMidiPorts;
        class InputPort;
        class OutputPort;

        PortFailure send (const juce::uint8* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver);
        std::unique_ptr<MidiInputPort> openInput (const std::shared_ptr<Device>& self, MidiInputPortCallback* callback);
        std::unique_ptr<MidiOutputPort> openOutput (const std::shared_ptr<Device>& self);
        static void applyOpenBehaviour (OpenBehaviour behaviour, const juce::String& what);

        InProcessMidiPorts& owner;
        const juce::String name, identifier;
        const bool hasInput, hasOutput;

        mutable std::mutex mutex;
        std::condition_variable stateChanged;
        bool plugged = true;
        bool reading = true;
        double byteRate = 0.0;
        OpenBehaviour inputBehaviour = OpenBehaviour::opens, outputBehaviour = OpenBehaviour::opens;
        BufferHandler bufferHandler;
        std::vector<InputPort*> openInputs;
        int openOutputs = 0, inputOpens = 0, outputOpens = 0;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Device)
    };

    /** What a newly plugged device offers. */
    struct DeviceOptions
    {
        bool hasInput = true;
        bool hasOutput = true;
        double bytesPerSecond = 0.0;
        OpenBehaviour inputOpens = OpenBehaviour::opens;
        OpenBehaviour outputOpens = OpenBehaviour::opens;
        Device::BufferHandler bufferHandler;
    };

    InProcessMidiPorts() = default;
    ~InProcessMidiPorts() override;

    /** Plugs in a new device of that name, listed after those already present and
        set up with the options before it is listed. The handle stays valid after
        the device is unplugged. */
    std::shared_ptr<Device> plugIn (const juce::String& name, DeviceOptions options);
    std::shared_ptr<Device> plugIn (const juce::String& name) { return plugIn (name, DeviceOptions()); }

    /** Unplugs every device. */
    void unplugAll();

    /** The plugged devices of that name, in the order they are listed. */
    std::vector<std::shared_ptr<Device>> findDevices (const juce::String& name) const;

    juce::Array<juce::MidiDeviceInfo> getInputs() override;
    juce::Array<juce::MidiDeviceInfo> getOutputs() override;
    std::unique_ptr<MidiInputPort> openInput (const juce::String& identifier, MidiInputPortCallback* callback) override;
    std::unique_ptr<MidiOutputPort> openOutput (const juce::String& identifier) override;

private:
    void removeDevice (const Device* device);
    std::shared_ptr<Device> findByIdentifier (const juce::String& identifier) const;

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Device>> devices;
    int nextSerial = 1;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InProcessMidiPorts)
};
