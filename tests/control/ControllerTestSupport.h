#pragma once

#include "control/Controller.h"
#include "tools/simulator/InProcessMidiPorts.h"
#include "tests/TestImages.h"
#include "tests/TestUtilities.h"
#include "tests/control/RecordingListener.h"
#include "tools/simulator/InProcessZarvik.h"

#include <gtest/gtest.h>

/** A controller on in-process ports with the simulated unit plugged in, items
    of small valid images, and a listener that records every report. */
class ControllerTest : public ::testing::Test
{
protected:
    enum Processor
    {
        control = 0,
        audio = 1,
        graphics = 2
    };

    /** Adds an item with a valid image for the processor of exactly `slices` 256-byte slices. */
    FirmwareItem* addItem (int processor, int slices, const juce::String& name)
    {
        const auto image = TestImages::make (SimulatedZarvik::getImageProcessorByte (processor), (size_t) (256 * slices - 100));
        return items.add (new FirmwareItem (image.data(), (int) image.size(), 256, 3, SimulatedZarvik::getPortName (processor), name));
    }

    /** The five items in the package's order, with the given slice counts. */
    void addPackage (int audioApplication, int graphicsApplication, int graphicsAssets, int audioAssets, int controlFirmware)
    {
        addItem (audio, audioApplication, "Audio Application Firmware");
        addItem (graphics, graphicsApplication, "Graphics Application Firmware");
        addItem (graphics, graphicsAssets, "Graphics Assets");
        addItem (audio, audioAssets, "Audio Assets");
        addItem (control, controlFirmware, "Control Firmware");
    }

    void createController (FirmwarePackage::Kind kind = FirmwarePackage::Kind::release)
    {
        controller = std::make_unique<Controller> (&manager, &items, kind, logFile.getFile());
        controller->addListener (&listener);
    }

    bool waitForVersions (int count = 3, int timeoutMs = 5000)
    {
        return TestUtilities::runUntil ([&]
                                        { return listener.linesStartingWith ("current").size() >= count; },
                                        timeoutMs);
    }

    bool waitForFinalProgress (int timeoutMs = 5000)
    {
        return TestUtilities::runUntil ([&]
                                        { return listener.progressReports.contains (1.0); },
                                        timeoutMs);
    }

    /** Waits until every item has been sent; the reports of the last completion are made by then. */
    bool waitForAllItemsComplete (int timeoutMs = 5000)
    {
        return TestUtilities::runUntil ([&]
                                        { return std::all_of (items.begin(), items.end(), [] (auto* item)
                                                              { return item->complete; }); },
                                        timeoutMs);
    }

    /** Runs the message loop through `count` further polls of the controller. */
    bool runPolls (int count)
    {
        const auto target = listener.linesStartingWith ("detected").size() + listener.linesStartingWith ("not detected").size() + count;
        return TestUtilities::runUntil ([&]
                                        { return listener.linesStartingWith ("detected").size() + listener.linesStartingWith ("not detected").size() >= target; });
    }

    /** The unit received exactly these items' images on the processor's port, in this order, intact. */
    void expectImages (int processor, std::initializer_list<const FirmwareItem*> expected, InProcessZarvik* unit = nullptr)
    {
        auto& target = unit != nullptr ? *unit : zarvik;
        const auto received = target.getUnit().getImages (processor);
        ASSERT_EQ (received.size(), expected.size()) << "processor " << processor;

        size_t i = 0;

        for (auto* item : expected)
        {
            const auto& image = item->getImageData();
            const auto* begin = static_cast<const uint8_t*> (image.getData());
            EXPECT_TRUE (received[i].valid) << item->getDisplayName() << ": " << received[i].problem;
            EXPECT_EQ (received[i].bytes, std::vector<uint8_t> (begin, begin + image.getSize())) << item->getDisplayName();
            ++i;
        }

        const auto statistics = target.getUnit().getStatistics (processor);
        EXPECT_LE (statistics.maxTransfersAtOnce, 1) << "processor " << processor;
        EXPECT_EQ (statistics.interleavedStarts, 0) << "processor " << processor;
        EXPECT_EQ (statistics.strayBytes, 0u) << "processor " << processor;
        EXPECT_EQ (statistics.pacingFaults, 0u) << "processor " << processor << ": slices closer than one interval apart";
    }

    /** The unit received the five images of addPackage, each port's in the order they are sent. */
    void expectWholePackage (InProcessZarvik* unit = nullptr)
    {
        expectImages (audio, { items[0], items[3] }, unit);
        expectImages (graphics, { items[1], items[2] }, unit);
        expectImages (control, { items[4] }, unit);
    }

    uint64_t bytesReceived (int processor)
    {
        return zarvik.getUnit().getStatistics (processor).bytesReceived;
    }

    /** Nothing but identity requests has reached any of the unit's ports. */
    void expectOnlyIdentityRequestsReceived (InProcessZarvik* unit = nullptr)
    {
        auto& target = unit != nullptr ? *unit : zarvik;

        for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
        {
            const auto statistics = target.getUnit().getStatistics (processor);
            EXPECT_EQ (statistics.bytesReceived, 6u * (uint64_t) statistics.identityRequests) << "processor " << processor;
            EXPECT_EQ (target.getUnit().getImageCount (processor), 0) << "processor " << processor;
        }
    }

    // Destroyed from the last to the first: the controller before the manager,
    // the manager (which closes the ports) before the unit and the port set.
    InProcessMidiPorts ports;
    InProcessZarvik zarvik { ports };
    InProcessZarvik secondUnit { ports, false }; // another unit of the same names, plugged in by the tests that need it
    MidiManager manager { ports };
    juce::OwnedArray<FirmwareItem> items;
    juce::TemporaryFile logFile { ".log" };
    RecordingListener listener;
    std::unique_ptr<Controller> controller;
};
