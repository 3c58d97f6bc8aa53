#include "firmware/FirmwareSysexSender.h"
#include "tests/TestImages.h"
#include "tests/TestUtilities.h"
#include "tools/simulator/InProcessZarvik.h"

#include <BinaryData.h>
#include <gtest/gtest.h>

namespace
{
using Statuses = std::vector<juce::String>;

constexpr int audio = 1;

// Tests that act on a report from the message thread give it this long
// before the next slice goes out on the pacing thread.
constexpr int slowIntervalMs = 250;

Statuses chunks (int count)
{
    return Statuses ((size_t) count, "Chunk");
}

Statuses operator+ (Statuses a, const Statuses& b)
{
    a.insert (a.end(), b.begin(), b.end());
    return a;
}

/** Records every report in order, and runs an action after a chosen one. */
struct StatusLog final : public FirmwareSysexSender::Listener
{
    void sysexSenderStatusChanged (FirmwareSysexSender* sender, const juce::String& status) override
    {
        EXPECT_TRUE (juce::MessageManager::getInstance()->isThisTheMessageThread());
        statuses.push_back (status);
        lastSender = sender;

        if (onReport != nullptr)
            onReport (status, statuses.size());
    }

    bool finished() const
    {
        return ! statuses.empty() && (statuses.back() == "Complete" || statuses.back() == "Error");
    }

    Statuses statuses;
    FirmwareSysexSender* lastSender = nullptr;
    std::function<void (const juce::String&, size_t)> onReport;
};

class FirmwareSysexSenderTest : public ::testing::Test
{
protected:
    void makeItem (const std::vector<uint8_t>& image, const juce::String& port = "Zarvik Audio", int intervalMs = 3)
    {
        item = std::make_unique<FirmwareItem> (image.data(), (int) image.size(), 256, intervalMs, port, "Audio Application Firmware");
        sender = std::make_unique<FirmwareSysexSender> (item.get(), &manager);
        sender->addListener (&log);
    }

    void runToTheEnd()
    {
        sender->startSending();
        ASSERT_TRUE (TestUtilities::runUntil ([this]
                                              { return log.finished(); },
                                              20000));
        EXPECT_FALSE (sender->isSending());

        for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
            EXPECT_EQ (unit().getStatistics (processor).pacingFaults, 0u) << "slices closer than one interval apart";
    }

    SimulatedZarvik& unit() { return zarvik.getUnit(); }

    InProcessMidiPorts ports;
    InProcessZarvik zarvik { ports };
    MidiManager manager { ports };
    std::unique_ptr<FirmwareItem> item;
    std::unique_ptr<FirmwareSysexSender> sender;
    StatusLog log;
};
}

//==============================================================================
TEST_F (FirmwareSysexSenderTest, AnImageOfNSlicesGivesStartedNChunksAndCompleteAndArrivesWhole)
{
    const auto image = TestImages::make (0x10, 10 * 256 + 40);
    makeItem (image);
    ASSERT_EQ (item->numChunks, 11);

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (11) + Statuses { "Complete" });
    EXPECT_EQ (log.lastSender, sender.get());
    EXPECT_TRUE (item->complete);
    EXPECT_FALSE (item->inProgress);

    const auto images = unit().getImages (audio);
    ASSERT_EQ (images.size(), 1u);
    EXPECT_TRUE (images[0].valid) << images[0].problem;
    EXPECT_EQ (images[0].bytes, image);
    EXPECT_EQ (unit().getStatistics (audio).buffersReceived, 11u) << "one buffer per slice";
}

TEST_F (FirmwareSysexSenderTest, TheEmbeddedControlFirmwareArrivesByteForByte)
{
    const auto* data = reinterpret_cast<const uint8_t*> (BinaryData::RZ41_apptr_syx);
    const std::vector<uint8_t> image (data, data + BinaryData::RZ41_apptr_syxSize);
    makeItem (image, "Zarvik Control");

    runToTheEnd();

    EXPECT_EQ (log.statuses.size(), (size_t) item->numChunks + 2);
    EXPECT_EQ (log.statuses.back(), "Complete");

    const auto images = unit().getImages (0);
    ASSERT_EQ (images.size(), 1u);
    EXPECT_TRUE (images[0].valid) << images[0].problem;
    EXPECT_EQ (images[0].bytes, image);
    EXPECT_EQ (unit().getStatistics (0).maxTransfersAtOnce, 1);
}

TEST_F (FirmwareSysexSenderTest, ALastSliceOfOneToThreeBytesGoesOutVerbatim)
{
    for (size_t tail = 1; tail <= 3; ++tail)
    {
        const auto image = TestImages::make (0x10, 4 * 256 + tail);
        makeItem (image);
        log.statuses.clear();

        runToTheEnd();

        EXPECT_EQ (log.statuses.back(), "Complete");
        const auto images = unit().getImages (audio);
        ASSERT_EQ (images.size(), tail);
        EXPECT_TRUE (images.back().valid) << images.back().problem;
        EXPECT_EQ (images.back().bytes, image);
    }
}

TEST_F (FirmwareSysexSenderTest, AnItemWithoutSlicesStartsAndCompletesWithoutSending)
{
    item = std::make_unique<FirmwareItem> (nullptr, 0, 256, 3, "Zarvik Audio", "Audio Assets");
    sender = std::make_unique<FirmwareSysexSender> (item.get(), &manager);
    sender->addListener (&log);

    runToTheEnd();

    EXPECT_EQ (log.statuses, (Statuses { "Started", "Complete" }));
    EXPECT_TRUE (item->complete);
    EXPECT_EQ (unit().getStatistics (audio).bytesReceived, 0u);
}

TEST_F (FirmwareSysexSenderTest, StartingClosesThePortsInputAndOpensItsOutputOnce)
{
    manager.openInputPort ("Zarvik Audio");
    manager.openOutputPort ("Zarvik Audio");
    const auto device = zarvik.getDevice (audio);
    ASSERT_EQ (device->getOpenInputCount(), 1);

    makeItem (TestImages::make (0x10, 600));
    runToTheEnd();

    EXPECT_EQ (device->getOpenInputCount(), 0);
    EXPECT_EQ (device->getOutputOpenCount(), 1);
    EXPECT_EQ (log.statuses.back(), "Complete");
}

//==============================================================================
TEST_F (FirmwareSysexSenderTest, UnpluggingMidTransferGivesErrorAtTheNextTickAndLeavesTheImageIncomplete)
{
    const auto image = TestImages::make (0x10, 20 * 256);
    makeItem (image, "Zarvik Audio", slowIntervalMs);
    log.onReport = [this] (const juce::String&, size_t count)
    {
        if (count == 6) // Started and five chunks
            zarvik.unplug (audio);
    };

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (5) + Statuses { "Error" });
    EXPECT_TRUE (sender->getErrorReason().startsWith ("unplugged")) << sender->getErrorReason();
    EXPECT_EQ (sender->getChunksSent(), 5);
    EXPECT_TRUE (item->inProgress) << "the owner clears it when it aborts";
    EXPECT_FALSE (item->complete);

    const auto images = unit().getImages (audio);
    ASSERT_EQ (images.size(), 1u);
    EXPECT_FALSE (images[0].complete);
    EXPECT_EQ (images[0].bytes, std::vector<uint8_t> (image.begin(), image.begin() + 5 * 256));
}

TEST_F (FirmwareSysexSenderTest, APortGoneAfterTheLastSliceGivesErrorNotComplete)
{
    makeItem (TestImages::make (0x10, 3 * 256), "Zarvik Audio", slowIntervalMs);
    log.onReport = [this] (const juce::String&, size_t count)
    {
        if (count == 4)
            zarvik.unplug (audio);
    };

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (3) + Statuses { "Error" });
    EXPECT_FALSE (item->complete);
}

TEST_F (FirmwareSysexSenderTest, ASliceThatReachesNoDeviceEndsTheTransferWithError)
{
    // The port is listed but its output cannot be opened.
    zarvik.setOpenBehaviour (audio, InProcessZarvik::OpenBehaviour::opens, InProcessZarvik::OpenBehaviour::returnsNull);
    makeItem (TestImages::make (0x10, 4 * 256));

    runToTheEnd();

    EXPECT_EQ (log.statuses, (Statuses { "Started", "Error" }));
    EXPECT_EQ (sender->getErrorReason(), "not open: the system could not open it");
    EXPECT_FALSE (item->complete);
    EXPECT_TRUE (item->inProgress);
    EXPECT_EQ (unit().getStatistics (audio).bytesReceived, 0u);
}

TEST_F (FirmwareSysexSenderTest, APortClosedUnderARunningTransferEndsItWithError)
{
    makeItem (TestImages::make (0x10, 10 * 256), "Zarvik Audio", slowIntervalMs);
    log.onReport = [this] (const juce::String&, size_t count)
    {
        if (count == 3)
            manager.closeOutputPort ("Zarvik Audio");
    };

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (2) + Statuses { "Error" });
}

TEST_F (FirmwareSysexSenderTest, APortThatDropsOutInsideASliceEndsTheTransferAtThatTick)
{
    unit().disconnectAfterBytes (audio, 600);
    makeItem (TestImages::make (0x10, 10 * 256));

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (2) + Statuses { "Error" });
    EXPECT_EQ (unit().getStatistics (audio).bytesReceived, 600u);
}

TEST_F (FirmwareSysexSenderTest, StartingAgainRestartsFromTheFirstSlice)
{
    const auto image = TestImages::make (0x10, 8 * 256);
    makeItem (image);
    unit().disconnectAfterBytes (audio, 3 * 256);

    runToTheEnd();
    ASSERT_EQ (log.statuses.back(), "Error");

    zarvik.plugIn (audio);
    manager.closeOutputPort ("Zarvik Audio");
    log.onReport = nullptr;
    log.statuses.clear();

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (8) + Statuses { "Complete" });
    const auto images = unit().getImages (audio);
    ASSERT_EQ (images.size(), 2u);
    EXPECT_FALSE (images[0].complete);
    EXPECT_TRUE (images[1].valid) << images[1].problem;
    EXPECT_EQ (images[1].bytes, image);
}

//==============================================================================
TEST_F (FirmwareSysexSenderTest, AStalledMessageThreadNeverBringsTwoSlicesCloserThanOneInterval)
{
    const auto image = TestImages::make (0x10, 40 * 256);
    makeItem (image);
    log.onReport = [] (const juce::String&, size_t count)
    {
        if (count % 10 == 0)
            juce::Thread::sleep (40);
    };

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (40) + Statuses { "Complete" });
    const auto images = unit().getImages (audio);
    ASSERT_EQ (images.size(), 1u);
    EXPECT_EQ (images[0].bytes, image);
    EXPECT_GE (unit().getStatistics (audio).shortestGapSeconds, SimulatedZarvik::minimumGapSeconds);
}

TEST_F (FirmwareSysexSenderTest, AReceiverThatStopsReadingEndsTheTransferAfterTheStallLimitWhileTheWindowKeepsRunning)
{
    makeItem (TestImages::make (0x10, 10 * 256));
    zarvik.getDevice (audio)->setReading (false);

    struct Probe final : public juce::Timer
    {
        void timerCallback() override { ++runs; }
        int runs = 0;
    } probe;

    probe.startTimer (1);
    const auto started = std::chrono::steady_clock::now();
    runToTheEnd();
    const auto waited = std::chrono::steady_clock::now() - started;

    EXPECT_EQ (log.statuses, (Statuses { "Started", "Error" }));
    EXPECT_TRUE (sender->getErrorReason().startsWith ("write timed out")) << sender->getErrorReason();
    EXPECT_GE (waited, MidiOutputPort::stallLimit);
    EXPECT_GT (probe.runs, 100) << "the message thread was held up by the stalled write";
    EXPECT_EQ (unit().getStatistics (audio).bytesReceived, 0u);
}

TEST_F (FirmwareSysexSenderTest, StoppingReturnsAtOnceAndNoSliceBeginsAfterIt)
{
    makeItem (TestImages::make (0x10, 10 * 256));
    // Each slice is on the wire for 200 ms, so stopping comes while one is on its way.
    zarvik.getDevice (audio)->setByteRate (256 / 0.2);
    sender->startSending();
    TestUtilities::runUntil ([]
                             { return false; },
                             50);

    // The slice on its way has not arrived when stopping returns: the
    // message thread did not wait for it.
    sender->stopSending();
    EXPECT_EQ (unit().getStatistics (audio).buffersReceived, 0u);

    // It arrives whole, and nothing after it.
    TestUtilities::runUntil ([]
                             { return false; },
                             600);
    EXPECT_EQ (unit().getStatistics (audio).buffersReceived, 1u);
    EXPECT_EQ (unit().getStatistics (audio).bytesReceived, 256u);
    EXPECT_EQ (log.statuses, Statuses { "Started" }) << "a stopped transfer reports nothing more";
}

//==============================================================================
using FirmwareSysexSenderConcurrency = FirmwareSysexSenderTest;

TEST_F (FirmwareSysexSenderConcurrency, StoppingRestartingClosingThePortAndDeletingRaceNoWrite)
{
    makeItem (TestImages::make (0x10, 200 * 256));
    juce::Random random (42);

    for (int round = 0; round < 20; ++round)
    {
        sender->startSending();
        TestUtilities::runUntil ([]
                                 { return false; },
                                 random.nextInt (8));

        switch (round % 3)
        {
            case 0:
                sender->stopSending();
                break;
            case 1:
                manager.closeOutputPort ("Zarvik Audio");
                break;
            default:
                sender->startSending();
                break;
        }

        TestUtilities::runUntil ([]
                                 { return false; },
                                 random.nextInt (8));
    }

    // Whatever was left running, the next transfer goes out whole.
    sender->stopSending();
    TestUtilities::runUntil ([]
                             { return false; },
                             10);
    unit().clearReceived();
    log.statuses.clear();
    runToTheEnd();
    EXPECT_EQ (log.statuses.back(), "Complete");
    EXPECT_EQ (unit().getImages (audio).back().bytes.size(), item->getImageData().getSize());

    // A program that quits mid-transfer deletes its items before its senders.
    sender->startSending();
    TestUtilities::runUntil ([]
                             { return false; },
                             10);
    item.reset();
    sender.reset();
}

//==============================================================================
TEST_F (FirmwareSysexSenderTest, AListenerThatStopsTheSenderOnStartedIsOverridden)
{
    makeItem (TestImages::make (0x10, 3 * 256));
    log.onReport = [this] (const juce::String& status, size_t)
    {
        if (status == "Started")
            sender->stopSending();
    };

    runToTheEnd();

    EXPECT_EQ (log.statuses.back(), "Complete");
}

TEST_F (FirmwareSysexSenderTest, AListenerAddedTwiceHearsEachReportOnce)
{
    makeItem (TestImages::make (0x10, 2 * 256));
    sender->addListener (&log);
    sender->addListener (nullptr);

    runToTheEnd();

    EXPECT_EQ (log.statuses, Statuses { "Started" } + chunks (2) + Statuses { "Complete" });
}

TEST (FirmwareSysexSender, WithoutAnItemItHasNoNameAndFailsToStart)
{
    InProcessMidiPorts ports;
    MidiManager manager (ports);
    FirmwareSysexSender sender (nullptr, &manager);
    StatusLog log;
    sender.addListener (&log);

    EXPECT_EQ (sender.getItemName(), juce::String());

    sender.startSending();
    EXPECT_EQ (log.statuses, Statuses { "Error" });
    EXPECT_FALSE (sender.isSending());
}
