#include "InProcessZarvik.h"

#include <condition_variable>
#include <stdexcept>

/** Lets host sends into the unit until the adapter closes it. Buffer handlers
    hold it, so a send that took a handler just before the port was unplugged
    finds it closed instead of reaching a unit that is gone. */
struct InProcessZarvik::DeliveryGate
{
    explicit DeliveryGate (SimulatedZarvik& u)
        : unit (u) {}

    void deliver (int processor, const juce::uint8* data, size_t size, std::chrono::steady_clock::time_point sent)
    {
        {
            const std::lock_guard<std::mutex> l (mutex);

            if (closed)
                return;

            ++running;
        }

        unit.receive (processor, data, size, sent);

        {
            const std::lock_guard<std::mutex> l (mutex);
            --running;
        }

        done.notify_all();
    }

    /** Waits for deliveries under way; none starts afterwards. */
    void close()
    {
        std::unique_lock<std::mutex> l (mutex);
        closed = true;
        done.wait (l, [this]
                   { return running == 0; });
    }

    SimulatedZarvik& unit;
    std::mutex mutex;
    std::condition_variable done;
    int running = 0;
    bool closed = false;
};

InProcessZarvik::InProcessZarvik (InProcessMidiPorts& portsToUse, bool plugInNow)
    : ports (portsToUse)
    , gate (std::make_shared<DeliveryGate> (unit))
{
    unit.setConnection (this);

    if (plugInNow)
        plugIn();
}

InProcessZarvik::~InProcessZarvik()
{
    // First, as a restart under way on the unit's thread may plug the devices in again.
    unit.setConnection (nullptr);
    unplug();
    gate->close();
}

size_t InProcessZarvik::indexOf (int processor)
{
    if (processor < 0 || processor >= SimulatedZarvik::numProcessors)
        throw std::out_of_range ("no processor " + std::to_string (processor));

    return (size_t) processor;
}

void InProcessZarvik::plugIn()
{
    for (int i = 0; i < SimulatedZarvik::numProcessors; ++i)
        plugIn (i);
}

void InProcessZarvik::unplug()
{
    for (int i = 0; i < SimulatedZarvik::numProcessors; ++i)
        unplug (i);
}

void InProcessZarvik::plugIn (int processor)
{
    const std::lock_guard<std::mutex> l (mutex);
    auto& device = devices[indexOf (processor)];

    if (device != nullptr)
        return;

    const auto& s = settings[(size_t) processor];
    InProcessMidiPorts::DeviceOptions options;
    options.bytesPerSecond = s.bytesPerSecond;
    options.inputOpens = s.input;
    options.outputOpens = s.output;
    // The unit sees each buffer arrive when the host began to send it, as a
    // receiver timestamping the wire would, whatever the byte rate.
    options.bufferHandler = [g = gate, processor] (const juce::uint8* data, size_t size, std::chrono::steady_clock::time_point sent)
    { g->deliver (processor, data, size, sent); };

    device = ports.plugIn (SimulatedZarvik::getPortName (processor), std::move (options));
}

void InProcessZarvik::unplug (int processor)
{
    std::shared_ptr<InProcessMidiPorts::Device> device;

    {
        const std::lock_guard<std::mutex> l (mutex);
        device = std::move (devices[indexOf (processor)]);
    }

    if (device == nullptr)
        return;

    device->unplug();
    device->setBufferHandler (nullptr);
    unit.abandonTransfer (processor);
}

bool InProcessZarvik::isPlugged (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return devices[indexOf (processor)] != nullptr;
}

void InProcessZarvik::setByteRate (int processor, double bytesPerSecond)
{
    const std::lock_guard<std::mutex> l (mutex);
    const auto i = indexOf (processor);
    settings[i].bytesPerSecond = bytesPerSecond;

    if (devices[i] != nullptr)
        devices[i]->setByteRate (bytesPerSecond);
}

void InProcessZarvik::setOpenBehaviour (int processor, OpenBehaviour input, OpenBehaviour output)
{
    const std::lock_guard<std::mutex> l (mutex);
    const auto i = indexOf (processor);
    settings[i].input = input;
    settings[i].output = output;

    if (devices[i] != nullptr)
        devices[i]->setOpenBehaviour (input, output);
}

std::shared_ptr<InProcessMidiPorts::Device> InProcessZarvik::getDevice (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return devices[indexOf (processor)];
}

void InProcessZarvik::sendToHost (int processor, const std::vector<uint8_t>& message)
{
    if (message.empty())
        return;

    if (auto device = getDevice (processor))
        device->sendToHost (juce::MidiMessage (message.data(), (int) message.size()));
}

void InProcessZarvik::disconnect (int processor)
{
    unplug (processor);
}

void InProcessZarvik::reconnect()
{
    plugIn();
}
