#include "tests/MidiTestHelpers.h"

#include <gtest/gtest.h>

using namespace MidiTestHelpers;

namespace
{
const Bytes identityRequest { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

bool waitFor (const std::function<bool()>& condition, int timeoutMs = 5000)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return false;

        std::this_thread::yield();
    }

    return true;
}

double millisecondsTaken (const std::function<void()>& f)
{
    const auto start = juce::Time::getMillisecondCounterHiRes();
    f();
    return juce::Time::getMillisecondCounterHiRes() - start;
}
}

//==============================================================================
TEST (MidiManagerOutputs, OpensEveryDeviceOfTheNameAndSendsToEachInTableOrder)
{
    InProcessMidiPorts ports;
    auto first = ports.plugIn ("Zarvik Audio");
    auto other = ports.plugIn ("Zarvik Graphics");
    auto second = ports.plugIn ("Zarvik Audio");
    BufferLog log;
    log.attach (*first);
    log.attach (*second);
    log.attach (*other);

    MidiManager manager (ports);
    manager.openOutputPort ("Zarvik Audio");

    EXPECT_EQ (first->getOpenOutputCount(), 1);
    EXPECT_EQ (second->getOpenOutputCount(), 1);
    EXPECT_EQ (other->getOpenOutputCount(), 0);

    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (identityRequest)), 2);

    const auto buffers = log.get();
    ASSERT_EQ (buffers.size(), 2u);
    EXPECT_EQ (buffers[0].device, first->getIdentifier());
    EXPECT_EQ (buffers[1].device, second->getIdentifier());
    EXPECT_EQ (buffers[0].bytes, identityRequest);
    EXPECT_EQ (buffers[1].bytes, identityRequest);

    manager.closeOutputPort ("Zarvik Audio");
    EXPECT_EQ (first->getOpenOutputCount(), 0);
    EXPECT_EQ (second->getOpenOutputCount(), 0);
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (identityRequest)), 0);
}

TEST (MidiManagerOutputs, AnOpenPortIsNeitherOpenedAgainNorRescanned)
{
    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Audio");

    MidiManager manager (ports);
    manager.openOutputPort ("Zarvik Audio");
    manager.openOutputPort ("Zarvik Audio");
    EXPECT_EQ (device->getOutputOpenCount(), 1);

    auto later = ports.plugIn ("Zarvik Audio");
    manager.openOutputPort ("Zarvik Audio");
    EXPECT_EQ (later->getOutputOpenCount(), 0);
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (identityRequest)), 1);
}

TEST (MidiManagerOutputs, NamesMatchWholeAndCaseSensitively)
{
    InProcessMidiPorts ports;
    std::vector<std::shared_ptr<InProcessMidiPorts::Device>> lookalikes;

    for (auto name : { "zarvik audio", "ZARVIK AUDIO", "2- Zarvik Audio", "Zarvik Audio MIDI 1", "Zarvik Audi", " Zarvik Audio" })
        lookalikes.push_back (ports.plugIn (name));

    MidiManager manager (ports);
    manager.openOutputPort ("Zarvik Audio");
    manager.openInputPort ("Zarvik Audio");

    for (auto& device : lookalikes)
    {
        EXPECT_EQ (device->getOutputOpenCount(), 0) << device->getName();
        EXPECT_EQ (device->getInputOpenCount(), 0) << device->getName();
    }

    EXPECT_FALSE (manager.isOutputPortAvailable ("Zarvik Audio"));
    EXPECT_FALSE (manager.isInputPortAvailable ("Zarvik Audio"));
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (identityRequest)), 0);
}

TEST (MidiManagerOutputs, SendingToANameThatIsNotOpenReachesNothingEvenWhenThePortIsThere)
{
    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Control");
    BufferLog log;
    log.attach (*device);

    MidiManager manager (ports);
    EXPECT_TRUE (manager.isOutputPortAvailable ("Zarvik Control"));
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Control", messageOf (identityRequest)), 0);
    EXPECT_TRUE (log.get().empty());
}

TEST (MidiManagerOutputs, AnUnpluggedPortStaysOpenButIsNotAvailableAndTakesNothing)
{
    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Graphics");

    MidiManager manager (ports);
    manager.openOutputPort ("Zarvik Graphics");
    ASSERT_TRUE (manager.isOutputPortAvailable ("Zarvik Graphics"));

    device->unplug();

    EXPECT_FALSE (manager.isOutputPortAvailable ("Zarvik Graphics"));
    EXPECT_EQ (device->getOpenOutputCount(), 1) << "the table keeps the entry until the port is closed";
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Graphics", messageOf (identityRequest)), 0);

    // Opening again finds the entry and opens nothing, even with the unit back.
    auto replugged = ports.plugIn ("Zarvik Graphics");
    manager.openOutputPort ("Zarvik Graphics");
    EXPECT_EQ (replugged->getOutputOpenCount(), 0);

    manager.closeOutputPort ("Zarvik Graphics");
    EXPECT_EQ (device->getOpenOutputCount(), 0);

    manager.openOutputPort ("Zarvik Graphics");
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Graphics", messageOf (identityRequest)), 1);
}

TEST (MidiManagerOutputs, ClosingOnePortLeavesTheOthersOpenAndInOrder)
{
    InProcessMidiPorts ports;
    auto audio1 = ports.plugIn ("Zarvik Audio");
    auto graphics = ports.plugIn ("Zarvik Graphics");
    auto control = ports.plugIn ("Zarvik Control");
    auto audio2 = ports.plugIn ("Zarvik Audio");
    BufferLog log;

    for (auto* d : { audio1.get(), graphics.get(), control.get(), audio2.get() })
        log.attach (*d);

    MidiManager manager (ports);

    for (auto name : { "Zarvik Audio", "Zarvik Graphics", "Zarvik Control" })
        manager.openOutputPort (name);

    manager.closeOutputPort ("Zarvik Graphics");
    manager.closeOutputPort ("Zarvik Nothing");

    EXPECT_EQ (graphics->getOpenOutputCount(), 0);
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Graphics", messageOf (identityRequest)), 0);
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Control", messageOf (identityRequest)), 1);
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (identityRequest)), 2);

    const auto buffers = log.get();
    ASSERT_EQ (buffers.size(), 3u);
    EXPECT_EQ (buffers[0].device, control->getIdentifier());
    EXPECT_EQ (buffers[1].device, audio1->getIdentifier());
    EXPECT_EQ (buffers[2].device, audio2->getIdentifier());
}

TEST (MidiManagerOutputs, DevicesThatFailToOpenAreSkippedAndTheRestOpened)
{
    InProcessMidiPorts ports;
    using Open = InProcessMidiPorts::OpenBehaviour;
    auto refuses = ports.plugIn ("Zarvik Audio");
    auto throws = ports.plugIn ("Zarvik Audio");
    auto opens = ports.plugIn ("Zarvik Audio");
    refuses->setOpenBehaviour (Open::returnsNull, Open::returnsNull);
    throws->setOpenBehaviour (Open::throwsException, Open::throwsException);

    MidiManager manager (ports);
    manager.openOutputPort ("Zarvik Audio");
    manager.openInputPort ("Zarvik Audio");

    EXPECT_EQ (opens->getOpenOutputCount(), 1);
    EXPECT_EQ (opens->getOpenInputCount(), 1);
    EXPECT_EQ (refuses->getOpenOutputCount() + throws->getOpenOutputCount(), 0);
    EXPECT_EQ (refuses->getOpenInputCount() + throws->getOpenInputCount(), 0);
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (identityRequest)), 1);
}

TEST (MidiManagerOutputs, TheWholeMessageGoesOutAsOneBufferWhateverItsFirstByte)
{
    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Audio");
    BufferLog log;
    log.attach (*device);

    MidiManager manager (ports);
    manager.openOutputPort ("Zarvik Audio");

    Bytes text (256);

    for (size_t i = 0; i < text.size(); ++i)
        text[i] = (juce::uint8) ("0123456789ABCDEF\r\n:"[i % 19]);

    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (text)), 1);

    const auto buffers = log.get();
    ASSERT_EQ (buffers.size(), 1u);
    EXPECT_EQ (buffers[0].bytes, text);
}

//==============================================================================
TEST (MidiManagerInputs, OpensEveryDeviceOfTheNameAtOnce)
{
    InProcessMidiPorts ports;
    auto first = ports.plugIn ("Zarvik Control");
    auto second = ports.plugIn ("Zarvik Control");
    RecordingListener listener;

    MidiManager manager (ports);
    manager.addListener (&listener);

    // The message thread calls this: it opens at once, without a pause.
    const auto openTime = millisecondsTaken ([&]
                                             { manager.openInputPort ("Zarvik Control"); });
    EXPECT_LT (openTime, 45.0);
    EXPECT_EQ (first->getOpenInputCount(), 1);
    EXPECT_EQ (second->getOpenInputCount(), 1);

    // Both are started: each delivers what its device sends.
    EXPECT_EQ (first->sendToHost (messageOf ({ 0x90, 0x3c, 0x40 })), 1);
    EXPECT_EQ (second->sendToHost (messageOf ({ 0x80, 0x3c, 0x00 })), 1);
    ASSERT_TRUE (waitFor ([&]
                          { return listener.count() == 2; }));

    // Already open: returns at once and opens nothing.
    const auto reopenTime = millisecondsTaken ([&]
                                               { manager.openInputPort ("Zarvik Control"); });
    EXPECT_LT (reopenTime, 45.0);
    EXPECT_EQ (first->getInputOpenCount(), 1);
    EXPECT_EQ (second->getInputOpenCount(), 1);

    manager.closeInputPort ("Zarvik Control");
    EXPECT_EQ (first->getOpenInputCount(), 0);
    EXPECT_EQ (second->getOpenInputCount(), 0);
    EXPECT_EQ (first->sendToHost (messageOf (identityRequest)), 0);

    manager.removeListener (&listener);
}

TEST (MidiManagerInputs, ListenersHearEveryMessageOnTheInputThreadWithThePortAsSource)
{
    InProcessMidiPorts ports;
    auto control = ports.plugIn ("Zarvik Control");
    auto audio = ports.plugIn ("Zarvik Audio");
    RecordingListener listener;

    MidiManager manager (ports);
    manager.addListener (&listener);
    manager.openInputPort ("Zarvik Control");
    manager.openInputPort ("Zarvik Audio");

    const Bytes reply (37, 0x11);
    auto replyMessage = reply;
    replyMessage.front() = 0xf0;
    replyMessage.back() = 0xf7;

    control->sendToHost (messageOf (replyMessage));
    ASSERT_TRUE (waitFor ([&]
                          { return listener.count() == 1; }));
    audio->sendToHost (messageOf ({ 0xb0, 0x07, 0x64 }));
    ASSERT_TRUE (waitFor ([&]
                          { return listener.count() == 2; }));

    const auto calls = listener.get();
    EXPECT_EQ (calls[0].port, "Zarvik Control");
    EXPECT_EQ (calls[0].bytes, replyMessage);
    EXPECT_EQ (calls[1].port, "Zarvik Audio");
    EXPECT_NE (calls[0].thread, std::this_thread::get_id());
    EXPECT_NE (calls[0].thread, calls[1].thread) << "each input has a thread of its own";

    manager.removeListener (&listener);
}

TEST (MidiManagerInputs, ListenersAreCalledNewestFirstAndOncePerMessage)
{
    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Audio");
    std::vector<std::string> order;
    RecordingListener older, newer;
    older.name = "older";
    newer.name = "newer";
    older.order = newer.order = &order;

    MidiManager manager (ports);
    manager.addListener (&older);
    manager.addListener (&newer);
    manager.addListener (&older);
    manager.addListener (nullptr);
    manager.openInputPort ("Zarvik Audio");

    device->sendToHost (messageOf ({ 0x90, 0x3c, 0x40 }));
    ASSERT_TRUE (waitFor ([&]
                          { return older.count() == 1 && newer.count() == 1; }));

    // The callbacks ran one after the other on the input thread, so the log is complete.
    EXPECT_EQ (order, (std::vector<std::string> { "newer", "older" }));

    manager.removeListener (&newer);
    manager.removeListener (&newer);
    device->sendToHost (messageOf ({ 0x80, 0x3c, 0x00 }));
    ASSERT_TRUE (waitFor ([&]
                          { return older.count() == 2; }));
    EXPECT_EQ (newer.count(), 1u);

    manager.removeListener (&older);
}

TEST (MidiManagerInputs, AListenerMayRemoveItselfFromItsCallback)
{
    struct SelfRemover final : public MidiManager::Listener
    {
        void midiMessageReceived (MidiInputPort*, const juce::MidiMessage&) override
        {
            ++calls;
            manager->removeListener (this);
        }

        MidiManager* manager = nullptr;
        std::atomic<int> calls { 0 };
    };

    InProcessMidiPorts ports;
    auto device = ports.plugIn ("Zarvik Audio");
    RecordingListener witness;
    SelfRemover remover;

    MidiManager manager (ports);
    remover.manager = &manager;
    manager.addListener (&witness);
    manager.addListener (&remover);
    manager.openInputPort ("Zarvik Audio");

    device->sendToHost (messageOf ({ 0x90, 0x3c, 0x40 }));
    device->sendToHost (messageOf ({ 0x80, 0x3c, 0x00 }));
    ASSERT_TRUE (waitFor ([&]
                          { return witness.count() == 2; }));
    EXPECT_EQ (remover.calls, 1);

    manager.removeListener (&witness);
}
