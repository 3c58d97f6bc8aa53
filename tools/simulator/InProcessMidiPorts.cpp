#include "InProcessMidiPorts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <stdexcept>
#include <thread>

//==============================================================================
/** A host input: a thread of its own takes queued messages and hands them to
    the callback while the port is started, as a system's MIDI input thread does. */
class InProcessMidiPorts::Device::InputPort final : public MidiInputPort
{
public:
    InputPort (std::shared_ptr<Device> deviceToUse, MidiInputPortCallback* callbackToUse)
        : device (std::move (deviceToUse))
        , callback (callbackToUse)
        , thread ([this]
                  { run(); })
    {
    }

    ~InputPort() override
    {
        {
            const std::lock_guard<std::mutex> l (device->mutex);
            device->openInputs.erase (std::find (device->openInputs.begin(), device->openInputs.end(), this));
        }

        stop();

        {
            const std::lock_guard<std::mutex> l (queueMutex);
            quitting = true;
        }

        queueChanged.notify_all();
        thread.join();
    }

    juce::String getName() const override { return device->name; }
    juce::String getIdentifier() const override { return device->identifier; }

    void start() override
    {
        const std::lock_guard<std::recursive_mutex> l (callbackMutex);
        started = true;
    }

    void stop() override
    {
        // Taking the callback lock waits for a callback that is running on the
        // input thread; the lock is recursive so a callback may stop its own port.
        const std::lock_guard<std::recursive_mutex> l (callbackMutex);
        started = false;

        const std::lock_guard<std::mutex> q (queueMutex);
        queue.clear();
    }

    /** Called by the device, with the device's mutex held. */
    bool enqueue (const juce::MidiMessage& message)
    {
        {
            const std::lock_guard<std::mutex> l (queueMutex);

            // A stopped input drops what arrives, as a closed subscription would.
            if (quitting || ! started)
                return false;

            // Stamped with the time of arrival, in seconds, as the system's inputs do.
            queue.push_back (message.withTimeStamp (juce::Time::getMillisecondCounterHiRes() * 0.001));
        }

        queueChanged.notify_one();
        return true;
    }

private:
    void run()
    {
        for (;;)
        {
            juce::MidiMessage message;

            {
                std::unique_lock<std::mutex> l (queueMutex);
                queueChanged.wait (l, [this]
                                   { return quitting || ! queue.empty(); });

                if (quitting)
                    return;

                message = std::move (queue.front());
                queue.pop_front();
            }

            const std::lock_guard<std::recursive_mutex> l (callbackMutex);

            if (started)
                callback->handleIncomingMidiMessage (this, message);
        }
    }

    const std::shared_ptr<Device> device;
    MidiInputPortCallback* const callback;

    std::recursive_mutex callbackMutex;
    std::atomic<bool> started { false };

    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<juce::MidiMessage> queue;
    bool quitting = false;

    // Last, so that everything it uses exists before it runs.
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InputPort)
};

//==============================================================================
class InProcessMidiPorts::Device::OutputPort final : public MidiOutputPort
{
public:
    explicit OutputPort (std::shared_ptr<Device> deviceToUse)
        : device (std::move (deviceToUse))
    {
    }

    ~OutputPort() override
    {
        const std::lock_guard<std::mutex> l (device->mutex);
        --device->openOutputs;
    }

    juce::String getName() const override { return device->name; }

    PortFailure send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver) override
    {
        return device->send (static_cast<const juce::uint8*> (data), size, timeLimit, handedOver);
    }

    bool isPresent() const override { return device->isPlugged(); }

private:
    const std::shared_ptr<Device> device;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OutputPort)
};

//==============================================================================
InProcessMidiPorts::Device::Device (InProcessMidiPorts& ownerToUse, juce::String deviceName, juce::String deviceIdentifier, bool withInput, bool withOutput)
    : owner (ownerToUse)
    , name (std::move (deviceName))
    , identifier (std::move (deviceIdentifier))
    , hasInput (withInput)
    , hasOutput (withOutput)
{
}

InProcessMidiPorts::Device::~Device()
{
    // Every open port holds a reference to its device.
    jassert (openInputs.empty() && openOutputs == 0);
}

void InProcessMidiPorts::Device::setBufferHandler (BufferHandler handler)
{
    const std::lock_guard<std::mutex> l (mutex);
    bufferHandler = std::move (handler);
}

void InProcessMidiPorts::Device::setByteRate (double bytesPerSecond)
{
    const std::lock_guard<std::mutex> l (mutex);
    byteRate = juce::jmax (0.0, bytesPerSecond);
}

void InProcessMidiPorts::Device::setReading (bool shouldRead)
{
    {
        const std::lock_guard<std::mutex> l (mutex);
        reading = shouldRead;
    }

    stateChanged.notify_all();
}

void InProcessMidiPorts::Device::setOpenBehaviour (OpenBehaviour forInputs, OpenBehaviour forOutputs)
{
    const std::lock_guard<std::mutex> l (mutex);
    inputBehaviour = forInputs;
    outputBehaviour = forOutputs;
}

int InProcessMidiPorts::Device::sendToHost (const juce::MidiMessage& message)
{
    const std::lock_guard<std::mutex> l (mutex);

    if (! plugged)
        return 0;

    int queued = 0;

    for (auto* input : openInputs)
        if (input->enqueue (message))
            ++queued;

    return queued;
}

void InProcessMidiPorts::Device::unplug()
{
    {
        const std::lock_guard<std::mutex> l (mutex);

        if (! plugged)
            return;

        plugged = false;
    }

    stateChanged.notify_all();
    owner.removeDevice (this);
}

bool InProcessMidiPorts::Device::isPlugged() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return plugged;
}

int InProcessMidiPorts::Device::getInputOpenCount() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return inputOpens;
}

int InProcessMidiPorts::Device::getOutputOpenCount() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return outputOpens;
}

int InProcessMidiPorts::Device::getOpenInputCount() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return (int) openInputs.size();
}

int InProcessMidiPorts::Device::getOpenOutputCount() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return openOutputs;
}

PortFailure InProcessMidiPorts::Device::send (const juce::uint8* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver)
{
    const auto sent = std::chrono::steady_clock::now();

    if (handedOver != nullptr)
        *handedOver = sent;

    const PortFailure gone { PortFailure::Kind::unplugged, "the device has gone" };
    BufferHandler handler;

    {
        std::unique_lock<std::mutex> l (mutex);

        if (! stateChanged.wait_until (l, sent + timeLimit, [this]
                                       { return reading || ! plugged; }))
            return { PortFailure::Kind::timedOut, "the device took no bytes for " + juce::String (timeLimit.count()) + " ms" };

        if (! plugged)
            return gone;

        // The wire is busy for as long as the bytes take; an unplug ends the wait,
        // and the bytes with it.
        if (byteRate > 0.0)
        {
            const auto duration = std::chrono::duration<double> ((double) size / byteRate);

            if (stateChanged.wait_for (l, duration, [this]
                                       { return ! plugged; }))
                return gone;
        }

        handler = bufferHandler;
    }

    if (handler != nullptr)
        handler (data, size, sent);

    return isPlugged() ? PortFailure::none() : gone;
}

void InProcessMidiPorts::Device::applyOpenBehaviour (OpenBehaviour behaviour, const juce::String& what)
{
    if (behaviour == OpenBehaviour::throwsException)
        throw PortError ({ PortFailure::Kind::refused, "cannot open " + what });
}

std::unique_ptr<MidiInputPort> InProcessMidiPorts::Device::openInput (const std::shared_ptr<Device>& self, MidiInputPortCallback* callback)
{
    const std::lock_guard<std::mutex> l (mutex);

    if (! plugged || ! hasInput || callback == nullptr)
        return nullptr;

    applyOpenBehaviour (inputBehaviour, "input " + name);

    if (inputBehaviour == OpenBehaviour::returnsNull)
        return nullptr;

    auto port = std::make_unique<InputPort> (self, callback);
    openInputs.push_back (port.get());
    ++inputOpens;
    return port;
}

std::unique_ptr<MidiOutputPort> InProcessMidiPorts::Device::openOutput (const std::shared_ptr<Device>& self)
{
    const std::lock_guard<std::mutex> l (mutex);

    if (! plugged || ! hasOutput)
        return nullptr;

    applyOpenBehaviour (outputBehaviour, "output " + name);

    if (outputBehaviour == OpenBehaviour::returnsNull)
        return nullptr;

    ++openOutputs;
    ++outputOpens;
    return std::make_unique<OutputPort> (self);
}

//==============================================================================
InProcessMidiPorts::~InProcessMidiPorts()
{
    unplugAll();
}

std::shared_ptr<InProcessMidiPorts::Device> InProcessMidiPorts::plugIn (const juce::String& name, DeviceOptions options)
{
    const std::lock_guard<std::mutex> l (mutex);

    auto device = std::make_shared<Device> (*this, name, "in-process:" + juce::String (nextSerial++), options.hasInput, options.hasOutput);
    device->setByteRate (options.bytesPerSecond);
    device->setOpenBehaviour (options.inputOpens, options.outputOpens);
    device->setBufferHandler (std::move (options.bufferHandler));
    devices.push_back (device);
    return device;
}

void InProcessMidiPorts::unplugAll()
{
    std::vector<std::shared_ptr<Device>> plugged;

    {
        const std::lock_guard<std::mutex> l (mutex);
        plugged = devices;
    }

    for (auto& device : plugged)
        device->unplug();
}

std::vector<std::shared_ptr<InProcessMidiPorts::Device>> InProcessMidiPorts::findDevices (const juce::String& name) const
{
    const std::lock_guard<std::mutex> l (mutex);
    std::vector<std::shared_ptr<Device>> found;

    for (auto& device : devices)
        if (device->name == name)
            found.push_back (device);

    return found;
}

juce::Array<juce::MidiDeviceInfo> InProcessMidiPorts::getInputs()
{
    const std::lock_guard<std::mutex> l (mutex);
    juce::Array<juce::MidiDeviceInfo> result;

    for (auto& device : devices)
        if (device->hasInput)
            result.add ({ device->name, device->identifier });

    return result;
}

juce::Array<juce::MidiDeviceInfo> InProcessMidiPorts::getOutputs()
{
    const std::lock_guard<std::mutex> l (mutex);
    juce::Array<juce::MidiDeviceInfo> result;

    for (auto& device : devices)
        if (device->hasOutput)
            result.add ({ device->name, device->identifier });

    return result;
}

std::unique_ptr<MidiInputPort> InProcessMidiPorts::openInput (const juce::String& identifier, MidiInputPortCallback* callback)
{
    if (auto device = findByIdentifier (identifier))
        return device->openInput (device, callback);

    return nullptr;
}

std::unique_ptr<MidiOutputPort> InProcessMidiPorts::openOutput (const juce::String& identifier)
{
    if (auto device = findByIdentifier (identifier))
        return device->openOutput (device);

    return nullptr;
}

void InProcessMidiPorts::removeDevice (const Device* device)
{
    const std::lock_guard<std::mutex> l (mutex);
    devices.erase (std::remove_if (devices.begin(), devices.end(), [device] (auto& d)
                                   { return d.get() == device; }),
                   devices.end());
}

std::shared_ptr<InProcessMidiPorts::Device> InProcessMidiPorts::findByIdentifier (const juce::String& identifier) const
{
    const std::lock_guard<std::mutex> l (mutex);

    for (auto& device : devices)
        if (device->identifier == identifier)
            return device;

    return nullptr;
}
