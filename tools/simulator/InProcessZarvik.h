#pragma once

#include "SimulatedZarvik.h"
#include "InProcessMidiPorts.h"

/**
    Presents a SimulatedZarvik on in-process ports: each processor is one
    device of its port's name, plugged into the given port set. Bytes the host
    sends reach the unit on the sending thread; the unit's replies reach the
    host's inputs on their input threads.

    Fault settings (byte rate, open behaviour) belong to the port and are kept
    when it is unplugged and plugged in again. When the unit restarts after an
    update, its three devices are unplugged and, once it is back, new devices
    of the same names are plugged in: new identifiers, the same settings. The port set must outlive this
    object; destroying it unplugs the unit and waits for a buffer that is
    being delivered. Every member may be called from any thread.
*/
class InProcessZarvik final : private SimulatedZarvik::Connection
{
public:
    using OpenBehaviour = InProcessMidiPorts::OpenBehaviour;

    /** Plugs the three ports in at once unless told otherwise. */
    explicit InProcessZarvik (InProcessMidiPorts& ports, bool plugInNow = true);
    ~InProcessZarvik() override;

    SimulatedZarvik& getUnit() noexcept { return unit; }

    /** Plugs in every port that is not plugged in yet. */
    void plugIn();

    /** Unplugs every port; transfers in progress stay incomplete. */
    void unplug();

    void plugIn (int processor);
    void unplug (int processor);
    bool isPlugged (int processor) const;

    /** How fast the processor's port takes bytes; 0 takes them at once. */
    void setByteRate (int processor, double bytesPerSecond);

    /** How opening the processor's input and output turns out. */
    void setOpenBehaviour (int processor, OpenBehaviour input, OpenBehaviour output);

    /** The device end of the processor's port while it is plugged in, else null. */
    std::shared_ptr<InProcessMidiPorts::Device> getDevice (int processor) const;

private:
    struct PortSettings
    {
        double bytesPerSecond = 0.0;
        OpenBehaviour input = OpenBehaviour::opens, output = OpenBehaviour::opens;
    };

    struct DeliveryGate;
    void sendToHost (int processor, const std::vector<uint8_t>& message) override;
    void disconnect (int processor) override;
    void reconnect() override;
    static size_t indexOf (int processor);

    InProcessMidiPorts& ports;
    SimulatedZarvik unit;

    mutable std::mutex mutex;
    std::array<std::shared_ptr<InProcessMidiPorts::Device>, SimulatedZarvik::numProcessors> devices;
    std::array<PortSettings, SimulatedZarvik::numProcessors> settings;
    std::shared_ptr<DeliveryGate> gate;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InProcessZarvik)
};
