#include "tests/control/ControllerTestSupport.h"

using TestUtilities::runUntil;

namespace
{
const juce::StringArray startReports { "item 1 0", "item 3 0", "item 0 0", "item 1 1", "item 3 1", "item 0 1", "update running" };

/** The item-state lines, in order. */
juce::StringArray itemLines (const RecordingListener& listener)
{
    return listener.linesStartingWith ("item");
}

/** The item-state lines of the given items, in order: each port's senders
    run on their own threads, so only the order within a port is fixed. */
juce::StringArray itemLines (const RecordingListener& listener, std::initializer_list<int> codes)
{
    juce::StringArray lines;

    for (auto& line : itemLines (listener))
        for (auto code : codes)
            if (line.startsWith ("item " + juce::String (code) + " "))
                lines.add (line);

    return lines;
}
}

//==============================================================================
using ControllerListeners = ControllerTest;

TEST_F (ControllerListeners, EachNewListenerMakesEveryListenerHearTheAvailableVersionsAgain)
{
    createController();
    const juce::StringArray available { "available 0 0.0.3.6", "available 1 0.0.2.5", "available 2 0.0.2.5" };
    EXPECT_EQ (listener.lines, available);

    RecordingListener second;
    listener.clear();
    controller->addListener (&second);
    controller->addListener (nullptr);

    EXPECT_EQ (listener.lines, available);
    EXPECT_EQ (second.lines, available);
    controller->removeListener (&second);
}

TEST_F (ControllerListeners, AnEmptyItemListCountsAsHardwarePresent)
{
    createController();
    ASSERT_TRUE (runPolls (2));
    EXPECT_EQ (listener.count ("not detected"), 0);
}

//==============================================================================
using ControllerDetection = ControllerTest;

TEST_F (ControllerDetection, ReadsTheVersionsOfAllThreeProcessorsAsText)
{
    zarvik.getUnit().setVersion (control, { 1, 2, 10, 4 });
    zarvik.getUnit().setVersion (audio, { 0, 0, 2, 15 });
    zarvik.getUnit().setVersion (graphics, { 12, 0, 0, 25 });
    addPackage (3, 3, 3, 3, 3);
    createController();

    ASSERT_TRUE (waitForVersions());
    ASSERT_TRUE (runPolls (1));
    auto versions = listener.linesStartingWith ("current");
    versions.removeDuplicates (false);
    versions.sort (false);
    EXPECT_EQ (versions, juce::StringArray ("current 0 1.2.104", "current 1 0.0.2.1", "current 2 120.0.2"));
    EXPECT_FALSE (controller->versionQueryPending);
    EXPECT_GE (listener.count ("detected"), 1);
    EXPECT_EQ (listener.reportsOffMessageThread, 0);
}

TEST_F (ControllerDetection, AnAbsentUnitIsReportedAndFoundWhenPluggedIn)
{
    zarvik.unplug (graphics);
    addPackage (3, 3, 3, 3, 3);
    createController();

    ASSERT_TRUE (runPolls (2));
    EXPECT_EQ (listener.count ("detected"), 0);
    EXPECT_TRUE (listener.linesStartingWith ("current").isEmpty());
    EXPECT_EQ (zarvik.getDevice (control)->getOpenInputCount(), 0);

    zarvik.plugIn (graphics);
    ASSERT_TRUE (waitForVersions());
    EXPECT_GE (listener.count ("detected"), 1);
}

TEST_F (ControllerDetection, AReplyNamingNoProcessorEndsTheQueryWithoutAVersion)
{
    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
        zarvik.getUnit().setProcessorCode (processor, 0x30);

    addPackage (3, 3, 3, 3, 3);
    createController();

    ASSERT_TRUE (runUntil ([&]
                           { return ! controller->versionQueryPending; }));
    ASSERT_TRUE (runPolls (2));
    EXPECT_TRUE (listener.linesStartingWith ("current").isEmpty());
}

TEST_F (ControllerDetection, ReplugAfterTheVersionsWereReadAsksNothingUntilAReset)
{
    addPackage (3, 3, 3, 3, 3);
    createController();
    ASSERT_TRUE (waitForVersions());
    ASSERT_TRUE (runPolls (1));

    const auto requestsBefore = zarvik.getUnit().getStatistics (control).identityRequests;
    zarvik.unplug();
    ASSERT_TRUE (runUntil ([&]
                           { return listener.count ("not detected") > 0; }));
    zarvik.plugIn();
    listener.clear();
    ASSERT_TRUE (runPolls (4));

    EXPECT_EQ (listener.count ("not detected"), 0);
    EXPECT_EQ (zarvik.getUnit().getStatistics (control).identityRequests, requestsBefore);
    EXPECT_EQ (zarvik.getDevice (audio)->getInputOpenCount(), 0);
    EXPECT_TRUE (listener.linesStartingWith ("current").isEmpty());

    controller->resetUpdate();
    ASSERT_TRUE (waitForVersions());
    EXPECT_GT (zarvik.getUnit().getStatistics (control).identityRequests, requestsBefore);
}

//==============================================================================
using ControllerUpdate = ControllerTest;

TEST_F (ControllerUpdate, NormalModeStartsTheAssetsWhenTheApplicationsFinishAndSendsEveryImageIntact)
{
    addPackage (7, 5, 4, 6, 3);
    createController();
    ASSERT_TRUE (waitForVersions());

    listener.clear();
    controller->startUpdate (false);
    EXPECT_EQ (listener.lines, startReports);

    ASSERT_TRUE (waitForFinalProgress());
    EXPECT_EQ (itemLines (listener, { 0 }), juce::StringArray ({ "item 0 0", "item 0 1", "item 0 2" }));
    EXPECT_EQ (itemLines (listener, { 1, 2 }), juce::StringArray ({ "item 1 0", "item 1 1", "item 1 2", "item 2 1", "item 2 2" }));
    EXPECT_EQ (itemLines (listener, { 3, 4 }), juce::StringArray ({ "item 3 0", "item 3 1", "item 3 2", "item 4 1", "item 4 2" }));

    // 25 slices: one report at the 20th, then the final one.
    EXPECT_EQ (listener.progressReports, juce::Array<double> ({ 20.0 / 25.0, 1.0 }));

    expectWholePackage();

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
    {
        EXPECT_EQ (zarvik.getDevice (processor)->getOpenOutputCount(), 0);
        EXPECT_EQ (zarvik.getDevice (processor)->getOpenInputCount(), 0);
    }

    EXPECT_TRUE (controller->updateRunning);
    EXPECT_EQ (listener.reportsOffMessageThread, 0);
    EXPECT_TRUE (logFile.getFile().loadFileAsString().trim().fromLastOccurrenceOf ("\n", false, false).contains ("update complete"));
}

TEST_F (ControllerUpdate, SolvaneModeSendsOnlyTheApplicationsAndTheControlFirmware)
{
    addPackage (7, 5, 4, 6, 3);
    createController();
    ASSERT_TRUE (waitForVersions());

    listener.clear();
    controller->startUpdate (true);
    EXPECT_EQ (listener.lines, startReports);

    ASSERT_TRUE (waitForFinalProgress());
    EXPECT_EQ (itemLines (listener).size(), 9);

    for (auto code : { "0", "1", "3" })
        EXPECT_EQ (itemLines (listener, { juce::String (code).getIntValue() }).joinIntoString (","),
                   juce::String ("item C 0,item C 1,item C 2").replace ("C", code));
    EXPECT_EQ (listener.progressReports, juce::Array<double> ({ 1.0 }));

    expectImages (audio, { items[0] });
    expectImages (graphics, { items[1] });
    expectImages (control, { items[4] });
}

TEST_F (ControllerUpdate, ASecondStartWhileRunningIsIgnored)
{
    addPackage (5, 4, 3, 3, 2);
    createController();

    controller->startUpdate (false);
    listener.clear();
    controller->startUpdate (false);
    EXPECT_TRUE (listener.lines.isEmpty());

    ASSERT_TRUE (waitForFinalProgress());
    expectWholePackage();
}

TEST_F (ControllerUpdate, ResetAfterCompletionReturnsToSearchingAndReadsTheVersionsAgain)
{
    addPackage (3, 3, 2, 2, 2);
    createController();
    ASSERT_TRUE (waitForVersions());
    controller->startUpdate (true);
    ASSERT_TRUE (waitForFinalProgress());

    listener.clear();
    controller->resetUpdate();
    EXPECT_EQ (listener.lines, juce::StringArray ("update stopped", "progress 0.000000"));
    EXPECT_FALSE (controller->updateRunning);
    EXPECT_TRUE (controller->versionQueryPending);

    ASSERT_TRUE (waitForVersions());
    EXPECT_GE (listener.count ("detected"), 1);
}

//==============================================================================
using ControllerProgress = ControllerTest;

TEST_F (ControllerProgress, ATotalThatIsAMultipleOf20ReportsOneOnlyOnceEveryImageIsComplete)
{
    addItem (audio, 15, "Audio Application Firmware");
    addItem (graphics, 15, "Graphics Application Firmware");
    addItem (control, 10, "Control Firmware");
    createController();
    ASSERT_TRUE (waitForVersions());

    // The last slice is sent before the senders' last port check: a progress
    // of 1.0 from it would announce the end before the update has ended, and
    // the end would then be announced a second time.
    controller->startUpdate (true);
    ASSERT_TRUE (waitForAllItemsComplete());
    runUntil ([]
              { return false; },
              100);

    EXPECT_EQ (listener.progressReports, juce::Array<double> ({ 0.5, 1.0 }));
}

TEST_F (ControllerProgress, ReportsEvery20thSliceAndExactlyOneAtTheEnd)
{
    addItem (audio, 23, "Audio Application Firmware");
    addItem (graphics, 12, "Graphics Application Firmware");
    addItem (control, 6, "Control Firmware");
    createController();

    controller->startUpdate (true);
    ASSERT_TRUE (waitForAllItemsComplete());
    EXPECT_EQ (listener.progressReports, juce::Array<double> ({ 20.0 / 41.0, 40.0 / 41.0, 1.0 }));
}

//==============================================================================
using ControllerAbort = ControllerTest;

TEST_F (ControllerAbort, StartingWithTheUnitAbsentAbortsOncePerItemAndStartsNothing)
{
    zarvik.unplug();
    addPackage (3, 3, 3, 3, 3);
    createController();

    listener.clear();
    controller->startUpdate (false);

    juce::StringArray expected { "item 1 0", "item 3 0", "item 0 0" };

    for (int i = 0; i < 5; ++i)
        expected.addArray ({ "item 1 4", "item 3 4", "item 0 4" });

    expected.add ("update running");
    EXPECT_EQ (listener.lines, expected);
    EXPECT_TRUE (controller->updateRunning);

    // The poll stands still while the update counts as running.
    listener.clear();
    zarvik.plugIn();
    EXPECT_TRUE (runUntil ([]
                           { return false; },
                           300)
                 == false);
    EXPECT_TRUE (listener.lines.isEmpty());
    EXPECT_EQ (bytesReceived (audio), 0u);
}

TEST_F (ControllerAbort, AMissingPortSendsNothingToThePortsThatArePresent)
{
    zarvik.unplug (graphics);
    addPackage (3, 3, 3, 3, 3);
    createController();
    const auto audioBytes = bytesReceived (audio);

    listener.clear();
    controller->startUpdate (false);

    // Two items send to the graphics port.
    EXPECT_EQ (listener.count ("item 1 4"), 2);
    EXPECT_EQ (listener.count ("item 0 4"), 2);
    EXPECT_EQ (itemLines (listener).size(), 3 + 6);

    runUntil ([]
              { return false; },
              100);
    EXPECT_EQ (bytesReceived (audio), audioBytes);
    EXPECT_EQ (zarvik.getUnit().getImageCount (control), 0);
}

TEST_F (ControllerAbort, UnpluggingMidTransferStopsEverySenderAndNothingIsSentAfterwards)
{
    addPackage (30, 20, 30, 30, 25);
    createController();
    ASSERT_TRUE (waitForVersions());

    zarvik.getUnit().disconnectAfterBytes (graphics, 256 * 5 + 10);
    listener.clear();
    controller->startUpdate (false);

    ASSERT_TRUE (runUntil ([&]
                           { return listener.count ("item 0 4") > 0; }));
    EXPECT_EQ (itemLines (listener).joinIntoString (","), startReports.joinIntoString (",").upToLastOccurrenceOf ("item 0 1", true, false) + ",item 1 4,item 3 4,item 0 4");

    // A slice that was being written when the abort came may still finish
    // arriving; none may begin after it, not even on the port plugged in again.
    const auto abortedBy = zarvik.getUnit().getSecondsSinceCreated();
    zarvik.plugIn (graphics);
    runUntil ([]
              { return false; },
              200);

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
    {
        const auto arrivals = zarvik.getUnit().getBufferArrivalTimes (processor);
        EXPECT_TRUE (arrivals.empty() || arrivals.back() <= abortedBy) << "processor " << processor;
    }

    EXPECT_EQ (zarvik.getUnit().getImageCount (control), 0);
    EXPECT_EQ (listener.count ("item 0 4"), 1);
    EXPECT_FALSE (listener.progressReports.contains (1.0));
    EXPECT_TRUE (controller->updateRunning);

    for (auto* item : items)
        EXPECT_FALSE (item->inProgress) << item->getDisplayName();

    // The log says which image stopped where, and why.
    const auto log = juce::StringArray::fromLines (logFile.getFile().loadFileAsString().trim());
    ASSERT_EQ (log.size(), 9) << log.joinIntoString ("\n");
    EXPECT_TRUE (log[0].contains ("update started")) << log[0];
    EXPECT_TRUE (log[1].contains ("Audio Application Firmware to \"Zarvik Audio\": " + juce::String (items[0]->getImageData().getSize()) + " bytes in 30 slices, SHA-256 ")) << log[1];
    EXPECT_TRUE (log[6].contains ("versions before the update: \"Zarvik Control\" 0.0.3.1, ")) << log[6];
    EXPECT_TRUE (log[7].endsWith ("\"Zarvik Graphics\", Graphics Application Firmware, slice 5 of 20: unplugged: the device has gone")) << log[7];
    EXPECT_TRUE (log[8].contains ("update aborted after")) << log[8];
}

//==============================================================================
using ControllerSchedule = ControllerTest;

TEST_F (ControllerSchedule, AnAudioApplicationFinishingFirstStillKeepsEachPortToOneTransfer)
{
    addPackage (3, 7, 4, 4, 2);
    createController();

    controller->startUpdate (false);
    ASSERT_TRUE (waitForFinalProgress());

    // The graphics assets come first in the list but wait for their port.
    const auto lines = itemLines (listener);
    EXPECT_EQ (lines.indexOf ("item 2 1"), lines.indexOf ("item 1 2") + 1);
    EXPECT_EQ (lines.indexOf ("item 4 1"), lines.indexOf ("item 3 2") + 1);

    expectWholePackage();
}

TEST_F (ControllerSchedule, ASenderWaitingForTheControlPortIsStartedWhenTheControlFirmwareFinishes)
{
    addItem (control, 3, "Control Firmware");
    addItem (control, 2, "Control Extras");
    createController();

    controller->startUpdate (false);
    ASSERT_TRUE (waitForFinalProgress());
    expectImages (control, { items[0], items[1] });
}

//==============================================================================
using ControllerTestFirmware = ControllerTest;

TEST_F (ControllerTestFirmware, GoesOnlyToAUnitWhoseProcessorsAllSaidItIsARehearsalUnitSinceItWasPluggedIn)
{
    addPackage (3, 3, 3, 3, 3);
    createController (FirmwarePackage::Kind::testFirmware);
    ASSERT_TRUE (runUntil ([&]
                           { return controller->canUpdateConnectedUnit(); }));

    // Another unit, a real-looking one, takes its place: it has not answered yet,
    // and once asked again it answers without the marker.
    zarvik.unplug();
    ASSERT_TRUE (runUntil ([&]
                           { return listener.count ("not detected") > 0; }));
    zarvik.getUnit().setRehearsalMarker (false);
    zarvik.plugIn();
    ASSERT_TRUE (runPolls (2));

    for (auto askAgain : { false, true })
    {
        if (askAgain)
        {
            listener.clear();
            controller->resetUpdate();
            ASSERT_TRUE (waitForVersions());
        }

        EXPECT_FALSE (controller->canUpdateConnectedUnit());
        controller->startUpdate (false);
        EXPECT_FALSE (controller->updateRunning);
        expectOnlyIdentityRequestsReceived();
    }

    zarvik.getUnit().setRehearsalMarker (true);
    controller->resetUpdate();
    ASSERT_TRUE (runUntil ([&]
                           { return controller->canUpdateConnectedUnit(); }));
    controller->startUpdate (false);
    ASSERT_TRUE (waitForFinalProgress());
    expectWholePackage();
}

TEST_F (ControllerTestFirmware, AReleaseGoesToAUnitWithoutTheMarkerLikeToAnyOther)
{
    zarvik.getUnit().setRehearsalMarker (false);
    addPackage (3, 3, 3, 3, 3);
    createController (FirmwarePackage::Kind::release);
    EXPECT_TRUE (controller->canUpdateConnectedUnit());

    controller->startUpdate (false);
    ASSERT_TRUE (waitForFinalProgress());
    expectWholePackage();
}

//==============================================================================
// Two units of the same names: the one that answered is the one that is
// updated, and none is while both are connected.
class ControllerIdentity : public ControllerTest,
                           public ::testing::WithParamInterface<std::tuple<bool, bool>>
{
protected:
    /** Waits until the controller has identified the one unit plugged in, or given up. */
    bool waitUntilIdentified()
    {
        return runUntil ([&]
                         { return ! controller->versionQueryPending; });
    }

    bool waitForRefusal (Controller::Refusal reason)
    {
        return runUntil ([&]
                         { return listener.count ("refused " + juce::String (reason)) > 0; },
                         6000);
    }
};

TEST_P (ControllerIdentity, TwoUnitsOfTheSameNamesGetNoTestFirmwareAndTheUnmarkedOneOnlyIdentityRequests)
{
    const auto [markedPluggedFirst, markedAnswersFirst] = GetParam();
    auto& marked = zarvik;
    auto& unmarked = secondUnit;
    unmarked.getUnit().setRehearsalMarker (false);

    auto& first = markedPluggedFirst ? marked : unmarked;
    auto& later = markedPluggedFirst ? unmarked : marked;
    auto& lateAnswerer = markedAnswersFirst ? unmarked : marked;

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
        lateAnswerer.getUnit().setAnswersIdentityRequests (processor, false);

    first.unplug();
    addPackage (3, 3, 2, 2, 2);
    first.plugIn();
    createController (FirmwarePackage::Kind::testFirmware);
    ASSERT_TRUE (runPolls (3));
    later.plugIn();
    ASSERT_TRUE (runUntil ([&]
                           { return listener.count ("several units") > 0; }));

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
        lateAnswerer.getUnit().setAnswersIdentityRequests (processor, true);

    ASSERT_TRUE (runPolls (3));

    EXPECT_EQ (controller->checkBeforeUpdate(), Controller::moreThanOneUnit);
    EXPECT_FALSE (controller->canUpdateConnectedUnit());
    controller->startUpdate (false);
    EXPECT_EQ (listener.count ("refused " + juce::String (Controller::moreThanOneUnit)), 1);
    EXPECT_FALSE (controller->updateRunning);

    // Once the unmarked unit has gone, the marked one may be updated, after
    // saying again who it is if it was not the one identified.
    unmarked.unplug();
    controller->resetUpdate();
    ASSERT_TRUE (runUntil ([&]
                           { return controller->canUpdateConnectedUnit(); }));
    controller->startUpdate (false);
    ASSERT_TRUE (waitForFinalProgress());

    expectWholePackage (&marked);
    expectOnlyIdentityRequestsReceived (&unmarked);
}

INSTANTIATE_TEST_SUITE_P (PluggedAndAnsweringInEitherOrder, ControllerIdentity, ::testing::Combine (::testing::Bool(), ::testing::Bool()));

TEST_F (ControllerIdentity, AReleaseRefusesTwoUnitsAndAUnitPluggedInDuringTheUpdateGetsNothing)
{
    zarvik.getUnit().setRehearsalMarker (false);
    secondUnit.getUnit().setRehearsalMarker (false);
    addPackage (12, 10, 8, 8, 4);
    createController (FirmwarePackage::Kind::release);
    ASSERT_TRUE (waitUntilIdentified());

    secondUnit.plugIn();
    ASSERT_TRUE (runUntil ([&]
                           { return listener.count ("several units") > 0; }));
    EXPECT_EQ (controller->checkBeforeUpdate(), Controller::moreThanOneUnit);
    controller->startUpdate (false);
    EXPECT_EQ (listener.count ("refused " + juce::String (Controller::moreThanOneUnit)), 1);
    EXPECT_FALSE (controller->updateRunning);
    expectOnlyIdentityRequestsReceived();

    secondUnit.unplug();
    controller->resetUpdate();
    controller->startUpdate (false);
    ASSERT_TRUE (runUntil ([&]
                           { return controller->updateRunning; }));

    // Plugged in while the images go out: it shares the names, not the update.
    secondUnit.plugIn();
    ASSERT_TRUE (waitForFinalProgress());

    expectWholePackage();
    expectOnlyIdentityRequestsReceived (&secondUnit);
}

TEST_F (ControllerIdentity, AUnitOnOtherPortsIsIdentifiedBeforeAnythingIsSentOrRefusedIfItStaysSilent)
{
    zarvik.getUnit().setRehearsalMarker (false);
    addPackage (3, 3, 2, 2, 2);
    createController (FirmwarePackage::Kind::release);
    ASSERT_TRUE (waitUntilIdentified());

    // Switched off and on, as the instructions say: its ports come back as
    // other ports, and the poll asks nothing while the instructions are open.
    controller->versionQueryPending = false;
    zarvik.unplug();
    ASSERT_TRUE (runUntil ([&]
                           { return listener.count ("not detected") > 0; }));

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
        zarvik.getUnit().setAnswersIdentityRequests (processor, processor != graphics);

    zarvik.plugIn();
    ASSERT_TRUE (runPolls (2));
    const auto requestsBefore = zarvik.getUnit().getStatistics (audio).identityRequests;

    listener.clear();
    controller->startUpdate (false);
    EXPECT_EQ (listener.lines, juce::StringArray ("update running")) << "waits for the unit to answer";
    ASSERT_TRUE (waitForRefusal (Controller::unitNotIdentified));
    EXPECT_TRUE (listener.linesStartingWith ("item").isEmpty());
    EXPECT_FALSE (controller->updateRunning);
    expectOnlyIdentityRequestsReceived();

    zarvik.getUnit().setAnswersIdentityRequests (graphics, true);
    listener.clear();
    controller->startUpdate (false);
    ASSERT_TRUE (waitForFinalProgress());
    EXPECT_GT (zarvik.getUnit().getStatistics (audio).identityRequests, requestsBefore);
    EXPECT_LT (listener.lines.indexOf ("current 2 0.0.2.1"), listener.lines.indexOf ("item 1 0")) << "identified before the first image";
    expectWholePackage();
}

//==============================================================================
// After an update the unit's own versions say whether it took.
class ControllerUpdateCheck : public ControllerTest
{
protected:
    void SetUp() override
    {
        addPackage (3, 3, 2, 2, 2);
        createController();
        ASSERT_TRUE (waitForVersions());
        controller->startUpdate (true);
        ASSERT_TRUE (waitForFinalProgress());
    }

    /** The unit restarts as after an update, reporting these versions. */
    void restartWith (std::array<std::array<uint8_t, 4>, 3> versions)
    {
        zarvik.unplug();
        ASSERT_TRUE (runUntil ([&]
                               { return listener.count ("not detected") > 0; }));

        for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
            zarvik.getUnit().setVersion (processor, versions[(size_t) processor]);

        zarvik.plugIn();
    }

    bool waitForChecks (std::array<int, 3> expected)
    {
        return runUntil ([&]
                         { return listener.checks == expected; });
    }

    juce::String logText() { return logFile.getFile().loadFileAsString(); }

    static constexpr std::array<std::array<uint8_t, 4>, 3> carried { { { 0, 0, 3, 6 }, { 0, 0, 2, 5 }, { 0, 0, 2, 5 } } };
    static constexpr int waiting = Controller::waitingForUnit, upToDate = Controller::upToDate, notUpToDate = Controller::notUpToDate;
};

TEST_F (ControllerUpdateCheck, AUnitBackWithTheCarriedVersionsIsUpToDateAndItsOldVersionsBeforeItLeftDoNotCount)
{
    EXPECT_EQ (listener.checks, (std::array<int, 3> { waiting, waiting, waiting }));

    // Still in its update mode: nothing is asked and nothing is judged yet.
    const auto requests = zarvik.getUnit().getStatistics (control).identityRequests;
    ASSERT_TRUE (runPolls (3));
    EXPECT_EQ (zarvik.getUnit().getStatistics (control).identityRequests, requests);
    EXPECT_EQ (listener.checks, (std::array<int, 3> { waiting, waiting, waiting }));

    restartWith (carried);
    ASSERT_TRUE (waitForChecks ({ upToDate, upToDate, upToDate }));
    EXPECT_TRUE (controller->updateRunning) << "the completion message is still open";
    EXPECT_TRUE (logText().contains ("versions after the update: \"Zarvik Control\" 0.0.3.6, \"Zarvik Audio\" 0.0.2.5, \"Zarvik Graphics\" 0.0.2.5"));
    EXPECT_TRUE (logText().contains ("the update took: up to date"));
    EXPECT_TRUE (logText().contains ("versions before the update: \"Zarvik Control\" 0.0.3.1, \"Zarvik Audio\" 0.0.2.1, \"Zarvik Graphics\" 0.0.2.1"));
}

TEST_F (ControllerUpdateCheck, AProcessorBackWithItsOldVersionDidNotTakeAndTheOthersWaitUntilTheyAnswer)
{
    zarvik.getUnit().setAnswersIdentityRequests (graphics, false);
    restartWith ({ carried[0], { 0, 0, 2, 1 }, carried[2] });
    ASSERT_TRUE (waitForChecks ({ upToDate, notUpToDate, waiting }));
    EXPECT_FALSE (logText().contains ("did not take")) << "judged only once every processor has answered";

    zarvik.getUnit().setAnswersIdentityRequests (graphics, true);
    ASSERT_TRUE (waitForChecks ({ upToDate, notUpToDate, upToDate }));
    EXPECT_TRUE (logText().contains ("the update did not take: \"Zarvik Audio\" reports 0.0.2.1 instead of 0.0.2.5"));
}

TEST_F (ControllerUpdateCheck, WithoutLeavingTheUnitIsReadWhenTheResetIsConfirmedAndAgainWhenItLaterComesBack)
{
    ASSERT_TRUE (runPolls (2));
    controller->resetUpdate();
    ASSERT_TRUE (waitForChecks ({ notUpToDate, notUpToDate, notUpToDate }));

    restartWith (carried);
    ASSERT_TRUE (waitForChecks ({ upToDate, upToDate, upToDate }));

    // The next update request ends the check; a unit running the carried
    // versions is still shown as up to date before it.
    EXPECT_EQ (controller->checkBeforeUpdate(), Controller::noRefusal);
    controller->resetUpdate();
    ASSERT_TRUE (runPolls (3));
    EXPECT_EQ (listener.checks, (std::array<int, 3> { upToDate, upToDate, upToDate }));
}
