#include "../MidiTestHelpers.h"
#include "../TestProcess.h"
#include "../TestUtilities.h"
#include "AlsaKernelHelpers.h"
#include "control/Controller.h"
#include "firmware/FirmwareItem.h"
#include "firmware/FirmwarePackage.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/MidiManager.h"
#include "midi/MidiPorts.h"

#include <BinaryData.h>
#include <gtest/gtest.h>

using namespace AlsaKernelHelpers;

namespace
{
#define SKIP_WITHOUT_SEQUENCER() \
    if (! hasSequencer())        \
    GTEST_SKIP() << "no ALSA sequencer here; CTest runs these tests in a virtual machine (tests/vm/zarvik-vm)"

MidiPortSystem& systemPorts()
{
    return MidiPortSystem::getSystemPorts();
}

/** The identifier of the first listed port of that name, once it is listed. */
juce::String waitForPort (const juce::String& name, bool output, int timeoutMs = 5000)
{
    juce::String identifier;

    TestUtilities::runUntil ([&]
                             {
                                     for (const auto& info : output ? systemPorts().getOutputs() : systemPorts().getInputs())
                                         if (info.name == name)
                                             identifier = info.identifier;

                                     return identifier.isNotEmpty(); },
                             timeoutMs);
    return identifier;
}

struct Transfer
{
    bool allSent = true;
    double meanMs = 0, maxMs = 0;
    std::vector<std::chrono::steady_clock::time_point> starts; // when each send began
};

/** Sends the item's slices, timing each send: back to back, or paced as the
    sender paces them, each `interval` after the port handed the last one over. */
Transfer sendSlices (MidiOutputPort& port, const FirmwareItem& item, std::chrono::milliseconds interval = {})
{
    using Clock = std::chrono::steady_clock;
    Transfer transfer;
    double total = 0;
    auto next = Clock::now();

    for (int i = 0; i < item.numChunks && transfer.allSent; ++i)
    {
        std::this_thread::sleep_until (next);
        const auto slice = item.getChunk (i);
        const auto start = Clock::now();
        auto handedOver = start;
        transfer.allSent = ! port.send (slice.getData(), slice.getSize(), MidiOutputPort::stallLimit, &handedOver).failed();
        const auto elapsed = std::chrono::duration<double, std::milli> (Clock::now() - start).count();
        transfer.starts.push_back (start);
        next = handedOver + interval;
        total += elapsed;
        transfer.maxMs = juce::jmax (transfer.maxMs, elapsed);
    }

    transfer.meanMs = total / juce::jmax (1, item.numChunks);
    return transfer;
}

void printTiming (const char* path, const FirmwareItem& item, const Transfer& transfer)
{
    std::cout << "[ timing   ] " << path << ": " << item.numChunks << " slices of " << item.chunkSize
              << " bytes, mean " << transfer.meanMs << " ms, max " << transfer.maxMs << " ms per slice\n";
}

/** Where two byte streams first differ, for a readable failure. */
juce::String firstDifference (const Bytes& actual, const Bytes& expected)
{
    const auto mismatch = std::mismatch (actual.begin(), actual.end(), expected.begin(), expected.end());
    return "got " + juce::String ((int) actual.size()) + " of " + juce::String ((int) expected.size())
           + " bytes, first difference at byte " + juce::String ((int) (mismatch.first - actual.begin()));
}

Bytes bytesOf (const void* data, int size)
{
    const auto* begin = static_cast<const juce::uint8*> (data);
    return Bytes (begin, begin + size);
}

Bytes concatenated (const std::vector<Bytes>& buffers)
{
    Bytes all;

    for (const auto& b : buffers)
        all.insert (all.end(), b.begin(), b.end());

    return all;
}

FirmwareItem audioApplication() { return FirmwareItem (BinaryData::RZ41_appap_syx, BinaryData::RZ41_appap_syxSize, 256, 3, "Zarvik Audio", "Audio Application Firmware"); }

/** A SysEx image whose last slice holds `lastSliceBytes` bytes. */
Bytes imageEndingIn (int lastSliceBytes)
{
    Bytes image (256 * 3 + (size_t) lastSliceBytes, 0x41);
    image.front() = 0xf0;
    image.back() = 0xf7;
    return image;
}
}

//==============================================================================
TEST (AlsaKernelListing, ListsWhatJuceListsInTheSameOrderAndSeesProgramsComeAndGo)
{
    SKIP_WITHOUT_SEQUENCER();

    EXPECT_EQ (systemPorts().getInputs(), juce::MidiInput::getAvailableDevices());
    EXPECT_EQ (systemPorts().getOutputs(), juce::MidiOutput::getAvailableDevices());

    auto peer = std::make_unique<PeerClient> ("Zarvik Audio");
    const auto identifier = waitForPort ("Zarvik Audio", true);
    ASSERT_TRUE (identifier.isNotEmpty());
    EXPECT_TRUE (systemPorts().getInputs().contains ({ "Zarvik Audio", identifier }));
    EXPECT_EQ (systemPorts().getOutputs(), juce::MidiOutput::getAvailableDevices());

    // Opening outputs and inputs adds no port of ours to anyone's list.
    auto output = systemPorts().openOutput (identifier);
    ASSERT_NE (output, nullptr);
    EXPECT_EQ (output->getName(), "Zarvik Audio");
    EXPECT_EQ (systemPorts().getOutputs(), juce::MidiOutput::getAvailableDevices());

    output.reset();
    peer.reset();
    EXPECT_FALSE (systemPorts().getOutputs().contains ({ "Zarvik Audio", identifier }));
    EXPECT_EQ (systemPorts().openOutput (identifier), nullptr);
}

//==============================================================================
TEST (AlsaKernelProgramPort, AFirmwareImageArrivesByteForByteOneSysExEventPerSlice)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Audio");
    auto output = systemPorts().openOutput (waitForPort ("Zarvik Audio", true));
    ASSERT_NE (output, nullptr);

    const auto item = audioApplication();
    const auto transfer = sendSlices (*output, item);
    EXPECT_TRUE (transfer.allSent);
    printTiming ("sequencer path to a program", item, transfer);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return peer.receivedCount() >= (size_t) item.numChunks; }))
        << peer.receivedCount() << " overran " << peer.overran();
    const auto events = peer.received();
    ASSERT_EQ (events.size(), (size_t) item.numChunks);

    for (int i = 0; i < item.numChunks; ++i)
        ASSERT_EQ (events[(size_t) i], bytesOf (item.getChunk (i).getData(), (int) item.getChunk (i).getSize())) << "slice " << i;

    EXPECT_FALSE (peer.overran());
}

TEST (AlsaKernelProgramPort, ASlowReaderHoldsTheSenderBackAndLosesNothing)
{
    SKIP_WITHOUT_SEQUENCER();

    // Pauses 20 ms after every 20 events: its queue fills many times over.
    PeerClient peer ("Zarvik Graphics", 20, 20);
    auto output = systemPorts().openOutput (waitForPort ("Zarvik Graphics", true));
    ASSERT_NE (output, nullptr);

    const FirmwareItem item (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize, 256, 3, "Zarvik Graphics", "Control Firmware");
    EXPECT_TRUE (sendSlices (*output, item).allSent);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return peer.receivedCount() >= (size_t) item.numChunks; },
                                          20000));
    EXPECT_EQ (concatenated (peer.received()), bytesOf (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize));
    EXPECT_FALSE (peer.overran());
}

TEST (AlsaKernelProgramPort, ALastSliceOfOneToThreeBytesArrivesAsItIs)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Control");
    auto output = systemPorts().openOutput (waitForPort ("Zarvik Control", true));
    ASSERT_NE (output, nullptr);

    std::vector<Bytes> sent;

    for (int last = 1; last <= 3; ++last)
    {
        const auto image = imageEndingIn (last);
        const FirmwareItem item (image.data(), (int) image.size(), 256, 3, "Zarvik Control", "Control Firmware");

        for (int i = 0; i < item.numChunks; ++i)
        {
            const auto slice = item.getChunk (i);
            sent.push_back (bytesOf (slice.getData(), (int) slice.getSize()));
            EXPECT_FALSE (output->send (slice.getData(), slice.getSize(), MidiOutputPort::stallLimit).failed());
        }
    }

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return peer.receivedCount() >= sent.size(); }));
    EXPECT_EQ (peer.received(), sent);
}

TEST (AlsaKernelProgramPort, EachBufferShowsAsASystemExclusiveEventInAseqdump)
{
    SKIP_WITHOUT_SEQUENCER();

    // aseqdump prints to a file: the guest's /tmp is a fresh tmpfs.
    const auto log = juce::File::createTempFile ("aseqdump.txt");
    juce::ChildProcess dump;
    ASSERT_TRUE (dump.start (juce::StringArray { "sh", "-c", "exec stdbuf -oL aseqdump > " + log.getFullPathName() }));
    auto output = systemPorts().openOutput (waitForPort ("aseqdump", true));
    ASSERT_NE (output, nullptr);

    const std::vector<Bytes> buffers { { 0xf0, 0x00, 0x20, 0x33, 0x10 }, { 0x3a, 0x31, 0x30 }, { 0x0d, 0x0a, 0xf7 } };

    for (const auto& buffer : buffers)
        EXPECT_FALSE (output->send (buffer.data(), buffer.size(), MidiOutputPort::stallLimit).failed());

    EXPECT_TRUE (TestUtilities::runUntil ([&]
                                          { return log.loadFileAsString().contains ("0D 0A F7"); }));
    dump.kill();
    const auto text = log.loadFileAsString();
    log.deleteFile();

    const auto lines = juce::StringArray::fromLines (text);
    juce::StringArray sysex;

    for (const auto& line : lines)
        if (line.contains ("System exclusive"))
            sysex.add (line.fromFirstOccurrenceOf ("System exclusive", false, false).trim());

    EXPECT_EQ (sysex, juce::StringArray ({ "F0 00 20 33 10", "3A 31 30", "0D 0A F7" })) << text;
}

TEST (AlsaKernelProgramPort, SendFailsOnceTheProgramHasExited)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Audio");
    auto output = systemPorts().openOutput (waitForPort ("Zarvik Audio", true));
    ASSERT_NE (output, nullptr);

    const Bytes slice (256, 0x30);
    EXPECT_FALSE (output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit).failed());

    peer.close();
    EXPECT_TRUE (output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit).failed());
}

TEST (AlsaKernelProgramPort, AProgramThatStopsReadingFailsTheSendOnceTheStallLimitHasPassed)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Audio");
    auto output = systemPorts().openOutput (waitForPort ("Zarvik Audio", true));
    ASSERT_NE (output, nullptr);

    const Bytes slice (256, 0x30);
    ASSERT_FALSE (output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit).failed());
    peer.stall();

    // The program's input queue takes some slices before it is full.
    PortFailure sent;
    int slices = 0;
    auto lastSendTook = std::chrono::steady_clock::duration();

    while (! sent.failed() && ++slices < 10000)
    {
        const auto start = std::chrono::steady_clock::now();
        sent = output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit);
        lastSendTook = std::chrono::steady_clock::now() - start;
    }

    ASSERT_TRUE (sent.failed()) << "the program took " << slices << " slices without reading";
    EXPECT_EQ (sent.kind, PortFailure::Kind::timedOut) << sent.describe();
    EXPECT_GE (lastSendTook, MidiOutputPort::stallLimit);
    EXPECT_FALSE (peer.overran()) << "nothing is lost while the queue is full";
}

//==============================================================================
TEST (AlsaKernelUsbPort, AFirmwareImageArrivesByteForByteThroughASlowUsbLink)
{
    SKIP_WITHOUT_SEQUENCER();

    UsbMidiGadget gadget;

    if (! gadget.isPlugged())
        GTEST_SKIP() << "no virtual USB bus (dummy_hcd) here";

    const auto identifier = waitForPort ("Zarvik MIDI 2", true);
    ASSERT_TRUE (identifier.isNotEmpty());

    RawMidiReader device (UsbMidiGadget::gadgetInput (1));
    ASSERT_TRUE (device.isOpen());

    auto output = systemPorts().openOutput (identifier);
    ASSERT_NE (output, nullptr);

    // Paced as the sender paces them, from the moment the port says a slice
    // was handed over.
    const auto item = audioApplication();
    const auto interval = std::chrono::milliseconds (item.intervalMs);
    const auto transfer = sendSlices (*output, item, interval);
    EXPECT_TRUE (transfer.allSent);
    printTiming ("raw MIDI path to a USB MIDI device", item, transfer);

    const auto image = bytesOf (BinaryData::RZ41_appap_syx, BinaryData::RZ41_appap_syxSize);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return device.receivedCount() >= image.size(); },
                                          20000))
        << device.receivedCount();
    const auto received = device.received();
    EXPECT_TRUE (received == image) << firstDifference (received, image);

    // The unit gets its interval between the end of one slice and the start
    // of the next: each send begins at least one interval after the device
    // had the slice before. USB MIDI carries SysEx bytes three to a packet,
    // counted from the F0, so a slice's last one or two bytes leave with the
    // next slice's.
    int early = 0, firstEarly = -1;

    for (int i = 1; i < (int) transfer.starts.size(); ++i)
    {
        const auto bytesSent = (size_t) (i * item.chunkSize / 3 * 3);

        if (transfer.starts[(size_t) i] - device.notAllArrivedBefore (bytesSent) < interval)
        {
            firstEarly = firstEarly < 0 ? i : firstEarly;
            ++early;
        }
    }

    EXPECT_EQ (early, 0) << "the first at slice " << firstEarly;
}

TEST (AlsaKernelUsbPort, ShortLastSlicesArriveAsTheyAreAndSendFailsOnceUnplugged)
{
    SKIP_WITHOUT_SEQUENCER();

    UsbMidiGadget gadget;

    if (! gadget.isPlugged())
        GTEST_SKIP() << "no virtual USB bus (dummy_hcd) here";

    const auto identifier = waitForPort ("Zarvik MIDI 1", true);
    ASSERT_TRUE (identifier.isNotEmpty());

    RawMidiReader device (UsbMidiGadget::gadgetInput (0));
    auto output = systemPorts().openOutput (identifier);
    ASSERT_NE (output, nullptr);

    Bytes expected;

    for (int last = 1; last <= 3; ++last)
    {
        const auto image = imageEndingIn (last);
        const FirmwareItem item (image.data(), (int) image.size(), 256, 3, "Zarvik Control", "Control Firmware");

        for (int i = 0; i < item.numChunks; ++i)
            EXPECT_FALSE (output->send (item.getChunk (i).getData(), item.getChunk (i).getSize(), MidiOutputPort::stallLimit).failed());

        expected.insert (expected.end(), image.begin(), image.end());
    }

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return device.receivedCount() >= expected.size(); }));
    EXPECT_EQ (device.received(), expected);

    gadget.unplug();
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return waitForPort ("Zarvik MIDI 1", true, 0).isEmpty(); }));

    const Bytes slice (256, 0x30);
    EXPECT_TRUE (output->send (slice.data(), slice.size(), MidiOutputPort::stallLimit).failed());
}

TEST (AlsaKernelUsbPort, AnOutputThatAnotherProgramHoldsIsNotOpenedRatherThanSentToThroughTheLossyBridge)
{
    SKIP_WITHOUT_SEQUENCER();

    UsbMidiGadget gadget;

    if (! gadget.isPlugged())
        GTEST_SKIP() << "no virtual USB bus (dummy_hcd) here";

    const auto identifier = waitForPort ("Zarvik MIDI 1", true);
    ASSERT_TRUE (identifier.isNotEmpty());

    snd_rawmidi_t* otherProgram = nullptr;
    const auto device = UsbMidiGadget::hostDevice (0);
    ASSERT_EQ (snd_rawmidi_open (nullptr, &otherProgram, device.toRawUTF8(), 0), 0) << device;

    try
    {
        systemPorts().openOutput (identifier);
        ADD_FAILURE() << "opened an output that another program holds";
    }
    catch (const std::exception& e)
    {
        EXPECT_STREQ (e.what(), "held by another program");
    }

    snd_rawmidi_close (otherProgram);
    EXPECT_NE (systemPorts().openOutput (identifier), nullptr);
}

//==============================================================================
TEST (AlsaKernelVirmidiPort, WhatIsSentToTheVirmidiPortArrivesAtItsRawMidiInput)
{
    SKIP_WITHOUT_SEQUENCER();

    const auto identifier = waitForPort ("VirMIDI 0-0", true, 0);

    if (identifier.isEmpty())
        GTEST_SKIP() << "no snd-virmidi card here";

    RawMidiReader device ("hw:0,0");
    ASSERT_TRUE (device.isOpen());
    auto output = systemPorts().openOutput (identifier);
    ASSERT_NE (output, nullptr);

    const auto item = audioApplication();
    const auto image = bytesOf (BinaryData::RZ41_appap_syx, BinaryData::RZ41_appap_syxSize);
    const auto transfer = sendSlices (*output, item);
    EXPECT_TRUE (transfer.allSent);
    printTiming ("sequencer path to a virmidi device", item, transfer);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return device.receivedCount() >= image.size(); }))
        << device.describe();
    EXPECT_EQ (device.received(), image);
}

//==============================================================================
using MidiTestHelpers::RecordingCallback;

TEST (AlsaKernelInput, CompleteMessagesArriveOnTheInputThreadOnlyWhileStarted)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Control");
    RecordingCallback callback;
    auto input = systemPorts().openInput (waitForPort ("Zarvik Control", false), &callback);
    ASSERT_NE (input, nullptr);
    EXPECT_EQ (input->getName(), "Zarvik Control");

    // Nothing is delivered before start (JUCE keeps what arrives until then).
    peer.sendNoteOn (0, 59, 100);
    juce::MessageManager::getInstance()->runDispatchLoopUntil (100);
    EXPECT_TRUE (callback.get().empty());

    input->start();
    Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02 };
    reply.resize (34, 0x01);
    reply.push_back (0xf7);
    peer.sendSysex (reply);
    peer.sendNoteOn (0, 60, 100);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return callback.get().size() >= 3; }));
    EXPECT_EQ (callback.get(), (std::vector<Bytes> { { 0x90, 59, 100 }, reply, { 0x90, 60, 100 } }));
    EXPECT_FALSE (callback.onMessageThread);

    input->stop();
    peer.sendNoteOn (0, 61, 100);
    juce::MessageManager::getInstance()->runDispatchLoopUntil (100);
    EXPECT_EQ (callback.get().size(), 3u);
}

TEST (AlsaKernelInput, AnEndlessSysExGrowsNoMemoryAndAReplyAfterItArrives)
{
    SKIP_WITHOUT_SEQUENCER();

    const auto residentKb = []
    {
        return juce::File ("/proc/self/status").loadFileAsString().fromFirstOccurrenceOf ("VmRSS:", false, false).trim().getLargeIntValue();
    };

    // A program with a port of the unit's name that sends a SysEx message
    // without end: 100 MB of data bytes after its F0, never an F7.
    PeerClient peer ("Zarvik Audio");
    RecordingCallback callback;
    auto input = systemPorts().openInput (waitForPort ("Zarvik Audio", false), &callback);
    ASSERT_NE (input, nullptr);
    input->start();

    constexpr size_t streamBytes = 100 * 1024 * 1024;
    Bytes event (2048, 0x41);
    event.front() = 0xf0;
    const auto residentBefore = residentKb();
    const auto start = juce::Time::getMillisecondCounterHiRes();

    for (size_t sent = 0; sent < streamBytes; sent += event.size())
    {
        ASSERT_TRUE (peer.sendSysexWhenRoom (event));
        event.front() = 0x41;
    }

    Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02 };
    reply.resize (36, 0x01);
    reply.push_back (0xf7);
    ASSERT_TRUE (peer.sendSysexWhenRoom (reply));
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return ! callback.get().empty(); }));

    const auto residentAfter = residentKb();
    std::cout << "[ memory   ] " << streamBytes / (1024 * 1024) << " MB streamed in "
              << (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0 << " s; resident "
              << residentBefore << " kB before, " << residentAfter << " kB after\n";

    EXPECT_EQ (callback.get(), std::vector<Bytes> { reply });
    EXPECT_LT (residentAfter - residentBefore, 4 * 1024);
}

TEST (AlsaKernelInput, ASysExEventThatPointsIntoItsSendersMemoryIsIgnoredAndAReplyAfterItArrives)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Control");
    RecordingCallback callback;
    auto input = systemPorts().openInput (waitForPort ("Zarvik Control", false), &callback);
    ASSERT_NE (input, nullptr);
    input->start();

    // Any local program can find the reader's port, which takes events
    // without a subscription, and send it a SysEx event with a user-space
    // length: the kernel hands on its pointer, here one to nowhere.
    const auto reader = peer.findPort (ZARVIK_PRODUCT_NAME, SND_SEQ_PORT_CAP_WRITE);
    ASSERT_TRUE (reader.has_value());
    peer.sendSysexByPointer (*reader, reinterpret_cast<const void*> (std::uintptr_t { 16 }), 256);

    const Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x20, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x06, 0xf7 };
    peer.sendSysex (reply);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return ! callback.get().empty(); }));
    EXPECT_EQ (callback.get(), std::vector<Bytes> { reply });
}

TEST (AlsaKernelConcurrency, StopWaitsForACallbackThatIsRunning)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Audio");
    RecordingCallback callback;
    std::atomic<bool> inCallback { false }, callbackDone { false };
    juce::WaitableEvent release;

    callback.onMessage = [&]
    {
        inCallback = true;
        release.wait (2000);
        callbackDone = true;
    };

    auto input = systemPorts().openInput (waitForPort ("Zarvik Audio", false), &callback);
    ASSERT_NE (input, nullptr);
    input->start();
    peer.sendNoteOn (0, 60, 100);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return inCallback.load(); }));

    std::thread releaser ([&]
                          {
                              std::this_thread::sleep_for (std::chrono::milliseconds (100));
                              release.signal(); });
    input->stop();
    EXPECT_TRUE (callbackDone);
    releaser.join();
}

//==============================================================================
namespace
{
/** Runs one item's transfer with the real sender and timer to its end. */
struct SenderRun final : public FirmwareSysexSender::Listener
{
    SenderRun (FirmwareItem& item, MidiManager& manager)
        : sender (&item, &manager)
    {
        sender.addListener (this);
    }

    void sysexSenderStatusChanged (FirmwareSysexSender*, const juce::String& status) override
    {
        if (status == "Chunk")
            ++chunks;
        else
            reports.add (status);

        if (onChunk && status == "Chunk")
            onChunk (chunks);
    }

    bool runToEnd (int timeoutMs)
    {
        sender.startSending();
        return TestUtilities::runUntil ([this]
                                        { return reports.contains ("Complete") || reports.contains ("Error"); },
                                        timeoutMs);
    }

    FirmwareSysexSender sender;
    juce::StringArray reports;
    int chunks = 0;
    std::function<void (int)> onChunk;
};

class ReplyListener final : public MidiManager::Listener
{
public:
    void midiMessageReceived (MidiInputPort* source, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> l (mutex);
        received.push_back ({ source->getName(), bytesOf (message.getRawData(), message.getRawDataSize()) });
    }

    std::vector<std::pair<juce::String, Bytes>> get() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return received;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::pair<juce::String, Bytes>> received;
};
}

TEST (AlsaKernelManager, TheSenderStreamsAnImageToAProgramFoundByNameByteForByte)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Audio");
    ASSERT_TRUE (waitForPort ("Zarvik Audio", true).isNotEmpty());
    MidiManager manager;
    auto item = audioApplication();
    SenderRun run (item, manager);

    ASSERT_TRUE (run.runToEnd (60000));
    EXPECT_EQ (run.reports, juce::StringArray ({ "Started", "Complete" }));
    EXPECT_EQ (run.chunks, item.numChunks);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return peer.receivedCount() >= (size_t) item.numChunks; }));
    EXPECT_EQ (peer.receivedCount(), (size_t) item.numChunks);
    const auto received = concatenated (peer.received());
    const auto image = bytesOf (BinaryData::RZ41_appap_syx, BinaryData::RZ41_appap_syxSize);
    EXPECT_TRUE (received == image) << firstDifference (received, image);
}

TEST (AlsaKernelManager, TheSenderStreamsAnImageToAUsbDeviceByteForByteAndStopsWithErrorWhenItIsUnplugged)
{
    SKIP_WITHOUT_SEQUENCER();

    UsbMidiGadget gadget;

    if (! gadget.isPlugged())
        GTEST_SKIP() << "no virtual USB bus (dummy_hcd) here";

    ASSERT_TRUE (waitForPort ("Zarvik MIDI 3", true).isNotEmpty());
    RawMidiReader device (UsbMidiGadget::gadgetInput (2));
    MidiManager manager;

    FirmwareItem control (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize, 256, 3, "Zarvik MIDI 3", "Control Firmware");
    SenderRun first (control, manager);
    ASSERT_TRUE (first.runToEnd (30000));
    EXPECT_EQ (first.reports, juce::StringArray ({ "Started", "Complete" }));

    const auto image = bytesOf (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return device.receivedCount() >= image.size(); }));
    const auto received = device.received();
    EXPECT_TRUE (received == image) << firstDifference (received, image);

    // Pulled out halfway through the next transfer.
    auto audio = audioApplication();
    FirmwareItem onThirdPort (audio.getImageData().getData(), (int) audio.getImageData().getSize(), 256, 3, "Zarvik MIDI 3", "Audio Application Firmware");
    SenderRun second (onThirdPort, manager);
    second.onChunk = [&] (int chunks)
    {
        if (chunks == 100)
            gadget.unplug();
    };

    ASSERT_TRUE (second.runToEnd (30000));
    EXPECT_EQ (second.reports, juce::StringArray ({ "Started", "Error" }));
    EXPECT_LT (second.chunks, onThirdPort.numChunks);
}

TEST (AlsaKernelManager, AnUpdateOfAUsbDeviceWhoseCardCannotBeAskedFailsSayingWhyRatherThanGoThroughTheLossyBridge)
{
    SKIP_WITHOUT_SEQUENCER();

    UsbMidiGadget gadget;

    if (! gadget.isPlugged())
        GTEST_SKIP() << "no virtual USB bus (dummy_hcd) here";

    ASSERT_TRUE (waitForPort ("Zarvik MIDI 2", true).isNotEmpty());
    RawMidiReader device (UsbMidiGadget::gadgetInput (1));

    // As in a sandbox that lets the program reach the sequencer but not the
    // card: which raw MIDI device the port writes to cannot be told.
    const HiddenFile control (UsbMidiGadget::hostControlDevice());

    if (! control.isHidden())
        GTEST_SKIP() << "cannot move " << UsbMidiGadget::hostControlDevice().getFullPathName() << " aside";

    MidiManager manager;
    FirmwareItem item (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize, 256, 3, "Zarvik MIDI 2", "Control Firmware");
    SenderRun run (item, manager);

    ASSERT_TRUE (run.runToEnd (30000));
    EXPECT_EQ (run.reports, juce::StringArray ({ "Started", "Error" }));
    EXPECT_EQ (run.chunks, 0);
    EXPECT_TRUE (run.sender.getErrorReason().startsWith ("not open: cannot open the unit's raw MIDI device: ")) << run.sender.getErrorReason();
    EXPECT_EQ (device.receivedCount(), 0u);
}

TEST (AlsaKernelManager, TheSenderStopsWithErrorWhenTheProgramExitsMidTransfer)
{
    SKIP_WITHOUT_SEQUENCER();

    auto peer = std::make_unique<PeerClient> ("Zarvik Graphics");
    ASSERT_TRUE (waitForPort ("Zarvik Graphics", true).isNotEmpty());
    MidiManager manager;
    FirmwareItem item (BinaryData::RZ41_appga_syx, BinaryData::RZ41_appga_syxSize, 256, 3, "Zarvik Graphics", "Graphics Application Firmware");
    SenderRun run (item, manager);
    run.onChunk = [&] (int chunks)
    {
        if (chunks == 50)
            peer->close();
    };

    ASSERT_TRUE (run.runToEnd (30000));
    EXPECT_EQ (run.reports, juce::StringArray ({ "Started", "Error" }));

    // The pacing thread goes on while the report of the 50th slice is on its
    // way to the message thread, so how many more went out depends on the
    // load; it must stop long before the end, saying why.
    EXPECT_GE (run.chunks, 50);
    EXPECT_LT (run.chunks, item.numChunks / 2);
    EXPECT_TRUE (run.sender.getErrorReason().isNotEmpty());
}

TEST (AlsaKernelManager, RepliesFromAProgramReachTheManagersListener)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Control");
    ASSERT_TRUE (waitForPort ("Zarvik Control", false).isNotEmpty());
    MidiManager manager;
    ReplyListener listener;
    manager.addListener (&listener);
    manager.openInputPort ("Zarvik Control");

    const Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x20, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x06, 0xf7 };
    peer.sendSysex (reply);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return ! listener.get().empty(); }));
    EXPECT_EQ (listener.get().front(), std::make_pair (juce::String ("Zarvik Control"), reply));

    manager.closeInputPort ("Zarvik Control");
    manager.removeListener (&listener);
}

TEST (AlsaKernelManager, AnIdentityRequestAndItsReplyCrossAUsbDeviceWhoseInputAndOutputAreBothOpen)
{
    SKIP_WITHOUT_SEQUENCER();

    UsbMidiGadget gadget;

    if (! gadget.isPlugged())
        GTEST_SKIP() << "no virtual USB bus (dummy_hcd) here";

    ASSERT_TRUE (waitForPort ("Zarvik MIDI 1", false).isNotEmpty());
    RawMidiReader device (UsbMidiGadget::gadgetInput (0));
    MidiManager manager;
    ReplyListener listener;
    manager.addListener (&listener);
    manager.openOutputPort ("Zarvik MIDI 1");
    manager.openInputPort ("Zarvik MIDI 1");

    const Bytes request { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik MIDI 1", juce::MidiMessage (request.data(), (int) request.size())), 1);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return device.receivedCount() >= request.size(); }));
    EXPECT_EQ (device.received(), request);

    // The device answers on the same cable.
    const Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x20, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x06, 0xf7 };
    snd_rawmidi_t* deviceOutput = nullptr;
    ASSERT_EQ (snd_rawmidi_open (nullptr, &deviceOutput, UsbMidiGadget::gadgetInput (0).toRawUTF8(), 0), 0);
    EXPECT_EQ (snd_rawmidi_write (deviceOutput, reply.data(), reply.size()), (ssize_t) reply.size());
    snd_rawmidi_drain (deviceOutput);
    snd_rawmidi_close (deviceOutput);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return ! listener.get().empty(); }));
    EXPECT_EQ (listener.get().front(), std::make_pair (juce::String ("Zarvik MIDI 1"), reply));

    manager.closeInputPort ("Zarvik MIDI 1");
    manager.closeOutputPort ("Zarvik MIDI 1");
    manager.removeListener (&listener);
}

TEST (AlsaKernelConcurrency, ListingFromOtherThreadsWhileATransferRunsLosesNothingAndAlwaysSeesThePort)
{
    SKIP_WITHOUT_SEQUENCER();

    PeerClient peer ("Zarvik Audio");
    const auto identifier = waitForPort ("Zarvik Audio", true);
    ASSERT_TRUE (identifier.isNotEmpty());
    auto output = systemPorts().openOutput (identifier);
    ASSERT_NE (output, nullptr);

    std::atomic<bool> sending { true };
    std::atomic<int> listings { 0 }, portMissing { 0 };
    std::vector<std::thread> listers;

    for (int i = 0; i < 2; ++i)
        listers.emplace_back ([&]
                              {
                                  while (sending)
                                  {
                                      if (! systemPorts().getOutputs().contains ({ "Zarvik Audio", identifier }))
                                          ++portMissing;

                                      systemPorts().getInputs();
                                      ++listings;
                                  } });

    const FirmwareItem item (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize, 256, 3, "Zarvik Audio", "Control Firmware");
    EXPECT_TRUE (sendSlices (*output, item).allSent);
    sending = false;

    for (auto& t : listers)
        t.join();

    EXPECT_GT (listings.load(), 0);
    EXPECT_EQ (portMissing.load(), 0);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return peer.receivedCount() >= (size_t) item.numChunks; }));
    EXPECT_EQ (concatenated (peer.received()), bytesOf (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize));
}

//==============================================================================
#ifdef ZARVIK_SIM_PATH
TEST (AlsaKernelUpdate, AnUpdateOfTheSimulatedUnitOnTheSequencerArrivesIntactAndASecondUnitStartedAfterItGetsNothing)
{
    SKIP_WITHOUT_SEQUENCER();

    // zarvik-sim is another program with the unit's three ports; it checks
    // every image it receives, and once told to stop it reports and exits
    // with 0 only if all arrived intact. It stays until then: a unit that
    // vanished just after the last slice would fail the transfer.
    TestUtilities::Process unit ({ ZARVIK_SIM_PATH, "--quiet" });

    // Another program first sends each port a SysEx event with a user-space
    // length, whose pointer is an address in that program's memory.
    PeerClient other ("Another program");

    for (auto* name : { "Zarvik Control", "Zarvik Audio", "Zarvik Graphics" })
    {
        const auto identifier = waitForPort (name, true, 60000); // a busy emulated machine starts it slowly
        ASSERT_TRUE (identifier.isNotEmpty()) << name;
        other.sendSysexByPointer (*AlsaMidi::fromIdentifier (identifier), reinterpret_cast<const void*> (std::uintptr_t { 16 }), 256);
    }

    struct Progress final : public Controller::Listener
    {
        void progressChanged (const double& progress) override { finished = finished || progress >= 1.0; }

        void firmwareItemStateChanged (int, int state) override { aborted = aborted || state == Controller::aborted; }

        void updateRefused (int reason) override { refusals.add (reason); }

        std::atomic<bool> finished { false }, aborted { false };
        juce::Array<int> refusals;
    } progress;

    MidiManager manager;
    juce::OwnedArray<FirmwareItem> items;
    FirmwarePackage::createFirmwareItems (items);
    auto controller = std::make_unique<Controller> (&manager, &items, FirmwarePackage::getKind());
    controller->addListener (&progress);

    // Test firmware goes only to a unit whose processors all said they are a rehearsal unit.
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return controller->canUpdateConnectedUnit(); }));

    // A second unit, one that would take the test firmware for real, comes
    // after the first has answered: while both are there nothing is sent.
    {
        TestUtilities::Process second ({ ZARVIK_SIM_PATH, "--quiet", "--no-rehearsal-marker" });
        ASSERT_TRUE (TestUtilities::runUntil ([&]
                                              { return ! controller->canUpdateConnectedUnit(); },
                                              60000));
        controller->versionQueryPending = false;
        controller->startUpdate (true);
        TestUtilities::runUntil ([]
                                 { return false; },
                                 1000);
        EXPECT_EQ (progress.refusals, juce::Array<int> (Controller::moreThanOneUnit));
        EXPECT_FALSE (controller->updateRunning);

        ::kill (second.pid, SIGTERM);
        ASSERT_TRUE (TestUtilities::runUntil ([&]
                                              { return second.hasEnded(); }))
            << second.getOutput();

        const auto report = juce::StringArray::fromLines (second.getOutput());
        EXPECT_TRUE (second.getOutput().contains ("Result: 0 image(s) received")) << second.getOutput();

        for (const auto& line : report)
        {
            if (! line.contains (" identity requests"))
                continue;

            EXPECT_EQ (line.fromFirstOccurrenceOf (": ", false, false).getIntValue(), 6 * line.fromLastOccurrenceOf ("buffers, ", false, false).getIntValue())
                << "nothing but identity requests: " << line;
        }
    }

    controller->resetUpdate();
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return controller->canUpdateConnectedUnit(); },
                                          60000));

    // The unit's own images (the application and control firmware) only.
    controller->versionQueryPending = false;
    controller->startUpdate (true);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return progress.finished || progress.aborted; },
                                          120000));
    EXPECT_FALSE (progress.aborted);

    controller->removeListener (&progress);
    controller.reset();

    ::kill (unit.pid, SIGTERM);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return unit.hasEnded(); }))
        << unit.getOutput();
    EXPECT_TRUE (unit.exitedWith (0)) << unit.getOutput();
    EXPECT_TRUE (unit.getOutput().contains ("3 image(s) received, all intact")) << unit.getOutput();
}
#endif
