#include "tests/MidiTestHelpers.h"

#include <gtest/gtest.h>

using namespace MidiTestHelpers;

namespace
{
const juce::StringArray portNames { "Zarvik Control", "Zarvik Audio", "Zarvik Graphics" };

/** Sends messages from every device end on a thread of its own, as a unit
        streaming replies would, until it is destroyed. */
class Flood
{
public:
    explicit Flood (std::vector<std::shared_ptr<InProcessMidiPorts::Device>> devicesToUse)
        : devices (std::move (devicesToUse))
    {
        for (auto& device : devices)
            threads.emplace_back ([this, device]
                                  {
                                          const auto message = messageOf ({ 0xf0, 0x7e, 0x00, 0x06, 0x02, 0xf7 });

                                          while (! stop)
                                          {
                                              device->sendToHost (message);
                                              std::this_thread::sleep_for (std::chrono::microseconds (50));
                                          } });
    }

    ~Flood()
    {
        stop = true;

        for (auto& t : threads)
            t.join();
    }

private:
    std::vector<std::shared_ptr<InProcessMidiPorts::Device>> devices;
    std::atomic<bool> stop { false };
    std::vector<std::thread> threads;
};

std::vector<std::shared_ptr<InProcessMidiPorts::Device>> plugInTheUnit (InProcessMidiPorts& ports)
{
    std::vector<std::shared_ptr<InProcessMidiPorts::Device>> devices;

    for (auto& name : portNames)
        devices.push_back (ports.plugIn (name));

    return devices;
}

/** Fails the test if it is called once it has been told it was removed. */
struct GuardedListener final : public MidiManager::Listener
{
    void midiMessageReceived (MidiInputPort*, const juce::MidiMessage& message) override
    {
        if (removed)
            ++callsAfterRemoval;

        // Touches the listener's own memory, so that a call on a deleted
        // listener shows up under the sanitizers.
        lastSize = message.getRawDataSize();
        ++calls;
    }

    std::atomic<bool> removed { false };
    std::atomic<int> calls { 0 }, callsAfterRemoval { 0 };
    int lastSize = 0;
};

bool waitFor (const std::function<bool()>& condition)
{
    const auto deadline = juce::Time::getMillisecondCounter() + 10000;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return false;

        std::this_thread::yield();
    }

    return true;
}
}

TEST (MidiManagerConcurrency, MessagesArrivingWhileThePortsOpenAndCloseNeitherCrashNorDeadlock)
{
    InProcessMidiPorts ports;
    const auto devices = plugInTheUnit (ports);
    GuardedListener listener;
    MidiManager manager (ports);
    manager.addListener (&listener);

    {
        Flood flood (devices);
        const auto request = messageOf ({ 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 });

        for (int round = 0; round < 8; ++round)
        {
            for (auto& name : portNames)
            {
                manager.openOutputPort (name);
                manager.openInputPort (name);
                EXPECT_EQ (manager.sendMessageToPort (name, request), 1);
            }

            const auto before = listener.calls.load();
            ASSERT_TRUE (waitFor ([&]
                                  { return listener.calls > before; }));

            for (auto& name : portNames)
            {
                manager.closeInputPort (name);
                manager.closeOutputPort (name);
            }

            // Every input is closed: nothing more may arrive, however busy the devices are.
            const auto afterClosing = listener.calls.load();
            juce::Thread::sleep (5);
            EXPECT_EQ (listener.calls.load(), afterClosing);
        }
    }

    manager.removeListener (&listener);
}

TEST (MidiManagerConcurrency, ARemovedListenerIsNeitherBeingCalledNorCalledAgain)
{
    InProcessMidiPorts ports;
    const auto devices = plugInTheUnit (ports);
    MidiManager manager (ports);
    GuardedListener witness;
    manager.addListener (&witness);

    for (auto& name : portNames)
        manager.openInputPort (name);

    std::vector<std::unique_ptr<GuardedListener>> removedListeners;

    {
        Flood flood (devices);

        for (int round = 0; round < 30; ++round)
        {
            auto listener = std::make_unique<GuardedListener>();
            manager.addListener (listener.get());
            ASSERT_TRUE (waitFor ([&]
                                  { return listener->calls > 0; }));

            manager.removeListener (listener.get());
            listener->removed = true;
            removedListeners.push_back (std::move (listener));
        }

        // Keep the flood going a while after the last removal.
        const auto target = witness.calls.load() + 200;
        ASSERT_TRUE (waitFor ([&]
                              { return witness.calls > target; }));
    }

    for (auto& listener : removedListeners)
        EXPECT_EQ (listener->callsAfterRemoval, 0);

    // A listener deleted at once after its removal is never touched again.
    {
        Flood flood (devices);

        for (int round = 0; round < 30; ++round)
        {
            auto listener = std::make_unique<GuardedListener>();
            manager.addListener (listener.get());
            ASSERT_TRUE (waitFor ([&]
                                  { return listener->calls > 0; }));
            manager.removeListener (listener.get());
        }
    }

    manager.removeListener (&witness);
}

TEST (MidiManagerConcurrency, MessagesArrivingDuringDestructionReachNoListenerAfterIt)
{
    InProcessMidiPorts ports;
    const auto devices = plugInTheUnit (ports);
    GuardedListener listener;
    Flood flood (devices);

    for (int round = 0; round < 5; ++round)
    {
        auto manager = std::make_unique<MidiManager> (ports);
        manager->addListener (&listener);

        for (auto& name : portNames)
        {
            manager->openOutputPort (name);
            manager->openInputPort (name);
        }

        const auto before = listener.calls.load();
        ASSERT_TRUE (waitFor ([&]
                              { return listener.calls > before; }));

        manager.reset();
        listener.removed = true;

        for (auto& device : devices)
            EXPECT_EQ (device->getOpenInputCount() + device->getOpenOutputCount(), 0);

        juce::Thread::sleep (5);
        EXPECT_EQ (listener.callsAfterRemoval, 0);
        listener.removed = false;
    }
}

TEST (MidiManagerConcurrency, PortsUnpluggedAndPluggedInWhileTheManagerSendsAndPolls)
{
    InProcessMidiPorts ports;
    std::atomic<bool> stop { false };

    std::thread plugging ([&]
                          {
                              while (! stop)
                              {
                                  auto device = ports.plugIn ("Zarvik Audio");
                                  std::this_thread::sleep_for (std::chrono::microseconds (200));
                                  device->unplug();
                              } });

    MidiManager manager (ports);
    const Bytes slice (256, 0x41);
    int delivered = 0;

    const auto deadline = juce::Time::getMillisecondCounter() + 10000;

    for (int i = 0; (i < 2000 || delivered < 50) && juce::Time::getMillisecondCounter() < deadline; ++i)
    {
        manager.openOutputPort ("Zarvik Audio");

        if (manager.isOutputPortAvailable ("Zarvik Audio"))
            delivered += manager.sendMessageToPort ("Zarvik Audio", messageOf (slice));

        if (i % 10 == 9)
            manager.closeOutputPort ("Zarvik Audio");
    }

    stop = true;
    plugging.join();
    EXPECT_GE (delivered, 50);
}
