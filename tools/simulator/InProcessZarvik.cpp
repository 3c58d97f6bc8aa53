#include "InProcessZarvik.h"

#include <stdexcept>

InProcessZarvik::InProcessZarvik (InProcessMidiPorts& portsToUse, bool plugInNow)
    : ports (portsToUse)
{
    unit.setConnection (this);

    if (plugInNow)
        plugIn();
}

InProcessZarvik::~InProcessZarvik()
{
    unplug();
    unit.setConnection (nullptr);
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
    options.bufferHandler = [this, processor] (const juce::uint8* data, size_t size)
    { unit.receive (processor, data, size); };

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
