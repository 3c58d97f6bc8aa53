#include "tests/MidiTestHelpers.h"

#include <gtest/gtest.h>

using namespace MidiTestHelpers;

namespace
{
struct CountingCallback final : public MidiInputPortCallback
{
    void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> l (mutex);
        received.push_back (bytesOf (message));
        thread = std::this_thread::get_id();
        lastSource = source;
    }

    size_t count() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return received.size();
    }

    mutable std::mutex mutex;
    std::vector<Bytes> received;
    std::thread::id thread;
    MidiInputPort* lastSource = nullptr;
};

bool waitFor (const std::function<bool()>& condition)
{
    const auto deadline = juce::Time::getMillisecondCounter() + 5000;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return false;

        std::this_thread::yield();
    }

    return true;
}

juce::StringArray namesOf (const juce::Array<juce::MidiDeviceInfo>& devices)
{
    juce::StringArray names;

    for (auto& d : devices)
        names.add (d.name);

    return names;
}
}

TEST (InProcessMidiPorts, ListsDevicesInPlugOrderUntilTheyAreUnplugged)
{
    InProcessMidiPorts ports;
    auto a = ports.plugIn ("Zarvik Audio");
    InProcessMidiPorts::DeviceOptions outputOnly;
    outputOnly.hasInput = false;
    auto b = ports.plugIn ("Zarvik Audio", outputOnly);
    auto c = ports.plugIn ("Zarvik Control");

    EXPECT_EQ (namesOf (ports.getOutputs()), juce::StringArray ({ "Zarvik Audio", "Zarvik Audio", "Zarvik Control" }));
    EXPECT_EQ (namesOf (ports.getInputs()), juce::StringArray ({ "Zarvik Audio", "Zarvik Control" }));
    EXPECT_NE (a->getIdentifier(), b->getIdentifier());
    EXPECT_EQ (ports.findDevices ("Zarvik Audio").size(), 2u);

    a->unplug();
    EXPECT_FALSE (a->isPlugged());
    EXPECT_EQ (namesOf (ports.getOutputs()), juce::StringArray ({ "Zarvik Audio", "Zarvik Control" }));
    EXPECT_EQ (ports.getOutputs()[0].identifier, b->getIdentifier());
    EXPECT_EQ (ports.openOutput (a->getIdentifier()), nullptr);

    ports.unplugAll();
    EXPECT_TRUE (ports.getOutputs().isEmpty());
    EXPECT_FALSE (c->isPlugged());
}

TEST (InProcessMidiPorts, OpeningFailsTheWayTheDeviceIsToldTo)
{
    InProcessMidiPorts ports;
    CountingCallback callback;
    auto device = ports.plugIn ("Zarvik Audio");
    using Open = InProcessMidiPorts::OpenBehaviour;

    device->setOpenBehaviour (Open::returnsNull, Open::throwsException);
    EXPECT_EQ (ports.openInput (device->getIdentifier(), &callback), nullptr);
    EXPECT_THROW (ports.openOutput (device->getIdentifier()), std::exception);

    device->setOpenBehaviour (Open::throwsException, Open::returnsNull);
    EXPECT_THROW (ports.openInput (device->getIdentifier(), &callback), std::exception);
    EXPECT_EQ (ports.openOutput (device->getIdentifier()), nullptr);

    EXPECT_EQ (device->getInputOpenCount() + device->getOutputOpenCount(), 0);
    EXPECT_EQ (ports.openOutput ("no such device"), nullptr);

    device->setOpenBehaviour (Open::opens, Open::opens);
    EXPECT_NE (ports.openOutput (device->getIdentifier()), nullptr);
    EXPECT_EQ (device->getOutputOpenCount(), 1);
}

TEST (InProcessMidiPorts, ASendIsHeldForAsLongAsItsBytesTakeAndDeliveredWhole)
{
    InProcessMidiPorts ports;
    InProcessMidiPorts::DeviceOptions options;
    options.bytesPerSecond = 3125.0; // a DIN MIDI cable
    auto device = ports.plugIn ("Zarvik Audio", options);
    BufferLog log;
    log.attach (*device);
    auto output = ports.openOutput (device->getIdentifier());

    const Bytes slice (256, 0x41);
    const auto start = juce::Time::getMillisecondCounterHiRes();
    EXPECT_FALSE (output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit).failed());
    EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - start, 80.0);

    const auto buffers = log.get();
    ASSERT_EQ (buffers.size(), 1u);
    EXPECT_EQ (buffers[0].bytes, slice);
}

TEST (InProcessMidiPorts, InputsDeliverOnTheirOwnThreadOnlyWhileStarted)
{
    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Control");
    CountingCallback callback;
    auto input = ports.openInput (device->getIdentifier(), &callback);
    ASSERT_NE (input, nullptr);
    EXPECT_EQ (input->getName(), "Zarvik Control");

    EXPECT_EQ (device->sendToHost (messageOf ({ 0x90, 0x3c, 0x40 })), 0) << "not started yet";

    input->start();
    EXPECT_EQ (device->sendToHost (messageOf ({ 0x90, 0x3d, 0x40 })), 1);
    ASSERT_TRUE (waitFor ([&]
                          { return callback.count() == 1; }));
    EXPECT_EQ (callback.received[0], (Bytes { 0x90, 0x3d, 0x40 }));
    EXPECT_NE (callback.thread, std::this_thread::get_id());
    EXPECT_EQ (callback.lastSource, input.get());

    input->stop();
    EXPECT_EQ (device->sendToHost (messageOf ({ 0x90, 0x3e, 0x40 })), 0);

    input.reset();
    EXPECT_EQ (device->getOpenInputCount(), 0);
}

//==============================================================================
TEST (InProcessMidiPortsConcurrency, UnpluggingEndsASendThatIsBlockedOnTheWire)
{
    InProcessMidiPorts ports;
    InProcessMidiPorts::DeviceOptions options;
    options.bytesPerSecond = 100.0;
    auto device = ports.plugIn ("Zarvik Graphics", options);
    BufferLog log;
    log.attach (*device);
    auto output = ports.openOutput (device->getIdentifier());

    std::atomic<bool> result { true };
    const Bytes slice (1000, 0x30); // ten seconds on this wire
    const auto start = juce::Time::getMillisecondCounterHiRes();
    std::thread sending ([&]
                         { result = ! output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit).failed(); });

    juce::Thread::sleep (20);
    device->unplug();
    sending.join();

    EXPECT_FALSE (result);
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 5000.0);
    EXPECT_TRUE (output->send (slice.data(), 1, MidiOutputPort::stallLimit).failed());
    EXPECT_TRUE (log.get().empty());
}

TEST (InProcessMidiPortsConcurrency, StopWaitsForACallbackThatIsRunning)
{
    struct BlockingCallback final : public MidiInputPortCallback
    {
        void handleIncomingMidiMessage (MidiInputPort*, const juce::MidiMessage&) override
        {
            entered.signal();
            release.wait();
            finished = true;
        }

        juce::WaitableEvent entered, release;
        std::atomic<bool> finished { false };
    };

    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Audio");
    BlockingCallback callback;
    auto input = ports.openInput (device->getIdentifier(), &callback);
    input->start();

    device->sendToHost (messageOf ({ 0x90, 0x3c, 0x40 }));
    ASSERT_TRUE (callback.entered.wait (5000));

    std::atomic<bool> finishedWhenStopReturned { false };
    std::thread stopping ([&]
                          {
                              input->stop();
                              finishedWhenStopReturned = callback.finished.load(); });

    // Give stop() every chance to return early if it does not wait.
    juce::Thread::sleep (50);
    callback.release.signal();
    stopping.join();

    EXPECT_TRUE (finishedWhenStopReturned);
}

TEST (InProcessMidiPortsConcurrency, DevicesComeAndGoWhileTheHostUsesThem)
{
    InProcessMidiPorts ports;
    std::atomic<bool> stop { false };

    std::thread plugging ([&]
                          {
                              for (int i = 0; i < 300 && ! stop; ++i)
                              {
                                  auto device = ports.plugIn ("Zarvik Audio");
                                  std::this_thread::yield();
                                  device->sendToHost (messageOf ({ 0x90, 0x3c, 0x40 }));
                                  device->unplug();
                              } });

    CountingCallback callback;
    const Bytes slice (256, 0x31);
    int sends = 0;

    for (int i = 0; i < 300; ++i)
    {
        for (auto& info : ports.getOutputs())
        {
            if (auto output = ports.openOutput (info.identifier))
            {
                output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit);
                ++sends;
            }

            if (auto input = ports.openInput (info.identifier, &callback))
                input->start();
        }
    }

    stop = true;
    plugging.join();
    SUCCEED() << sends << " sends";
}
