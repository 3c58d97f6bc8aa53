#include "control/UnitMonitor.h"
#include "tests/TestUtilities.h"
#include "tools/simulator/InProcessZarvik.h"

#include <gtest/gtest.h>
#include <map>

namespace
{
/** A unit monitor on in-process ports, fed the replies of the simulated unit
    as the controller feeds it, with what it reports recorded. */
class UnitMonitorTest : public ::testing::Test,
                        private UnitMonitor::Listener,
                        private MidiManager::Listener
{
protected:
    ~UnitMonitorTest() override { manager.removeListener (this); }

    /** Asks the unit on the ports listed now and waits until replies naming
        these processors have come, as many of each as listed. */
    bool askAndWait (std::vector<int> processors)
    {
        named.clear();
        monitor.connect (monitor.listPorts());
        return TestUtilities::runUntil ([this, processors]
                                        {
                                            std::map<int, int> expected;

                                            for (auto p : processors)
                                                ++expected[p];

                                            for (auto [p, n] : expected)
                                                if (named[p] < n)
                                                    return false;

                                            return true; });
    }

    // Replies that arrive together from one input count once: enough for
    // telling apart inputs that name the same processor.
    void versionReplied (int processor, const juce::String&) override { ++named[processor]; }
    void versionCheckChanged (int, int) override {}
    void midiMessageReceived (MidiInputPort* source, const juce::MidiMessage& message) override { monitor.readMessage (source, message); }

    InProcessMidiPorts ports;
    InProcessZarvik zarvik { ports };
    InProcessZarvik other { ports, false };
    MidiManager manager { ports };
    juce::OwnedArray<FirmwareItem> items;
    juce::TemporaryFile logFile { ".log" };
    UpdateLog log { logFile.getFile() };
    UnitMonitor monitor { manager, *this, items, *this, log };
    std::map<int, int> named;
};
}

TEST_F (UnitMonitorTest, AProcessorIsIdentifiedOnlyByAReplyNamingItOnTheOnePortItsNameListsAsAsked)
{
    zarvik.getUnit().setProcessorCode (2, 0x10); // graphics answers as audio
    ASSERT_TRUE (askAndWait ({ 0, 1, 1 }));

    auto ports = monitor.listPorts();
    EXPECT_TRUE (monitor.isIdentified (ports, 0));
    EXPECT_TRUE (monitor.isIdentified (ports, 1));
    EXPECT_FALSE (monitor.isIdentified (ports, 2)) << "a reply naming another processor";
    EXPECT_FALSE (monitor.isRehearsalUnit (ports));
    EXPECT_EQ (monitor.identifiedVersions()[2], "");

    // A second port of a name: nothing there is identified any more, and
    // firmware would still go only to the output that was asked.
    const auto asked = monitor.identifiedOutput ("Zarvik Control");
    other.plugIn (0);
    ports = monitor.listPorts();
    EXPECT_TRUE (ports.listsSeveralUnits());
    EXPECT_FALSE (monitor.isIdentified (ports, 0));
    EXPECT_EQ (monitor.identifiedOutput ("Zarvik Control"), asked);

    // The unit back on other ports, as after a restart: it is another unit
    // until it has been asked there.
    other.unplug (0);
    zarvik.getUnit().setProcessorCode (2, 0x20);
    zarvik.unplug();
    zarvik.plugIn();
    ports = monitor.listPorts();
    EXPECT_FALSE (ports.listsSeveralUnits());
    EXPECT_FALSE (monitor.isIdentified (ports, 0));

    ASSERT_TRUE (askAndWait ({ 0, 1, 2 }));
    ports = monitor.listPorts();
    EXPECT_TRUE (monitor.isIdentified (ports, 2));
    EXPECT_TRUE (monitor.isRehearsalUnit (ports));
    EXPECT_NE (monitor.identifiedOutput ("Zarvik Control"), asked);
}
