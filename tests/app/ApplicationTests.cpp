#include "app/RZ41FirmwareUpdaterApplication.h"
#include "control/VersionQuery.h"
#include "tools/simulator/InProcessMidiPorts.h"
#include "tests/TestImages.h"
#include "tests/ui/DialogTestHelpers.h"
#include "tests/ui/RealInput.h"
#include "tools/simulator/InProcessZarvik.h"

#include <BinaryData.h>
#include <csignal>
#include <gtest/gtest.h>

using namespace DialogTestHelpers;

namespace
{
constexpr auto quitTitle = "Update In Progress";
constexpr auto quitMessage = "Do you really want to quit ? Pressing OK will leave the device in an unusable state until a firmware update is sucessfully performed.";
constexpr auto completeTitle = "Firmware Update Complete";
constexpr auto abortTitle = "Firmware Update Aborted";

// Children of the main component, in the order they are added.
constexpr int updateButtonChild = 1;
constexpr int hardwareStatusChild = 3;
constexpr int availableControlChild = 5;
constexpr int currentControlChild = 9;
constexpr int statusRowChild = 15;

// What the controller reports, heard beside the main component.
struct ReportLog final : public Controller::Listener
{
    void progressChanged (const double& progress) override { progressReports.push_back (progress); }
    void firmwareItemStateChanged (int item, int state) override { states.push_back ({ item, state }); }

    std::vector<double> progressReports;
    std::vector<std::pair<int, int>> states;
};

class ApplicationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app->initialise ({});
        app->getController()->addListener (&log);
    }

    void TearDown() override { closeAllAlerts(); }

    MainWindowComponent& component() { return *app->getMainComponent(); }
    juce::Component& child (int index) { return *component().getChildComponent (index); }
    juce::String textOf (int index) { return dynamic_cast<juce::Label&> (child (index)).getText(); }
    juce::String statusRow (int row) { return textOf (statusRowChild + row); }

    void plugInUnit (std::function<void (SimulatedZarvik&)> setUp = {})
    {
        zarvik = std::make_unique<InProcessZarvik> (ports, false);

        if (setUp)
            setUp (zarvik->getUnit());

        zarvik->plugIn();

        // Every processor has answered, as a user sees before clicking "Update".
        ASSERT_TRUE (TestUtilities::runUntil ([this]
                                              { return textOf (hardwareStatusChild) == "Hardware Detected"
                                                       && textOf (currentControlChild).isNotEmpty()
                                                       && textOf (currentControlChild + 1).isNotEmpty()
                                                       && textOf (currentControlChild + 2).isNotEmpty(); }));
    }

    // Clicks "Update" and confirms the instruction dialog with that title.
    void startUpdateFromTheWindow (const juce::String& instructionTitle)
    {
        DialogAnswerer answerer (instructionTitle, "OK");
        dynamic_cast<juce::Button&> (child (updateButtonChild)).triggerClick();
        ASSERT_TRUE (TestUtilities::runUntil ([&answerer]
                                              { return answerer.answered() && openAlerts().isEmpty(); }));
    }

    double firstProgressReport() const
    {
        for (auto progress : log.progressReports)
            if (progress > 0.0)
                return progress;

        return 0.0;
    }

    bool progressReported()
    {
        return TestUtilities::runUntil ([this]
                                        { return ! log.progressReports.empty() && log.progressReports.back() > 0.0; },
                                        10000);
    }

    InProcessMidiPorts ports;
    ReportLog log;
    std::unique_ptr<InProcessZarvik> zarvik;

    // Destroyed first: the application closes its ports before the unit and the port set go.
    std::unique_ptr<RZ41FirmwareUpdaterApplication> app = std::make_unique<RZ41FirmwareUpdaterApplication> (ports);
};

juce::MemoryBlock imageBytes (const char* data, int size)
{
    return { data, (size_t) size };
}

bool carriesTestFirmware()
{
    return FirmwarePackage::getKind() == FirmwarePackage::Kind::testFirmware;
}
}

//==============================================================================
TEST_F (ApplicationTest, OpensOneFixedCentredWindowAroundTheMainComponent)
{
    auto* window = app->getMainWindow();
    ASSERT_NE (window, nullptr);
    ASSERT_TRUE (TestUtilities::runUntil ([window]
                                          { return window->isShowing(); }));

    EXPECT_EQ (window->getName(), "Brelmar Zarvik Firmware Updater");
    EXPECT_EQ (juce::JUCEApplication::getInstance(), app.get());
    EXPECT_TRUE (window->isUsingNativeTitleBar());
    EXPECT_EQ (window->getContentComponent(), app->getMainComponent());
    EXPECT_EQ (window->getBounds().getWidth(), 500);
    EXPECT_EQ (window->getBounds().getHeight(), 452);
    EXPECT_EQ (window->getBackgroundColour(), juce::Colours::lightgrey);

    const auto screen = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
    EXPECT_LE (std::abs (window->getBounds().getCentreX() - screen.getCentreX()), 1);
    EXPECT_LE (std::abs (window->getBounds().getCentreY() - screen.getCentreY()), 1);

    EXPECT_FALSE (window->isResizable());
    const auto flags = window->getDesktopWindowStyleFlags();
    EXPECT_NE (flags & juce::ComponentPeer::windowHasCloseButton, 0);
    EXPECT_EQ (flags & juce::ComponentPeer::windowHasMinimiseButton, 0);
    EXPECT_EQ (flags & juce::ComponentPeer::windowHasMaximiseButton, 0);
    EXPECT_EQ (flags & juce::ComponentPeer::windowIsResizable, 0);

    // The available column is filled before the window shows.
    EXPECT_EQ (textOf (availableControlChild), "Zarvik Control: 0.0.3.6");
    EXPECT_EQ (textOf (hardwareStatusChild), "Hardware Not Detected");
}

TEST_F (ApplicationTest, AConnectedUnitShowsTheVersionsItReports)
{
    plugInUnit ([] (SimulatedZarvik& unit)
                {
                    unit.setVersion (0, { 0, 0, 3, 5 });
                    unit.setVersion (1, { 0, 0, 2, 4 });
                    unit.setVersion (2, { 0, 0, 2, 3 }); });

    const auto reported = [this] (int processor)
    {
        const auto reply = zarvik->getUnit().getIdentityReply (processor);
        return VersionQuery::versionFromReply (juce::Array<juce::uint8> (reply.data() + 1, (int) reply.size() - 2));
    };

    const juce::String expected[] = { "Zarvik Control: " + reported (0), "Zarvik Audio: " + reported (1), "Zarvik Graphics: " + reported (2) };
    EXPECT_NE (expected[1], expected[2]);

    // Each processor answers on its own port, in no fixed order.
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          {
                                              for (int processor = 0; processor < 3; ++processor)
                                                  if (textOf (currentControlChild + processor) != expected[processor])
                                                      return false;

                                              return true; }));

    for (int processor = 0; processor < 3; ++processor)
        EXPECT_TRUE (child (currentControlChild + processor).isVisible()) << "processor " << processor;

    zarvik->unplug();
    ASSERT_TRUE (TestUtilities::runUntil ([this]
                                          { return textOf (hardwareStatusChild) == "Hardware Not Detected"; }));
    EXPECT_FALSE (child (currentControlChild + 1).isVisible());
    EXPECT_EQ (textOf (currentControlChild + 1), expected[1]) << "kept while hidden";
}

TEST_F (ApplicationTest, TheSolvaneFormSendsTheThreeApplicationImagesWholeAndEndsWithTheCompletionMessage)
{
    plugInUnit();

    ASSERT_TRUE (RealInput::typeKeys ({ "n" }));
    DialogAnswerer instructions ("Important Firmware Update Information (Solvane Mode)", "OK");
    ASSERT_TRUE (RealInput::click (child (updateButtonChild)));
    ASSERT_TRUE (TestUtilities::runUntil ([&instructions]
                                          { return instructions.answered(); }));

    EXPECT_TRUE (instructions.seenMessage.startsWith (solvaneInstructionText));
    EXPECT_EQ (instructions.seenMessage.contains (FirmwarePackage::testFirmwareNotice), carriesTestFirmware());
    EXPECT_FALSE (child (updateButtonChild).isEnabled());

    // 2,759 slices at one per 3 ms tick, with room for a slow machine.
    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { return findAlert (completeTitle) != nullptr; },
                                          90000));

    // Only the application images were counted: 20 slices of 5,695 make the first report.
    ASSERT_FALSE (log.progressReports.empty());
    EXPECT_NEAR (firstProgressReport(), 20.0 / 5695.0, 1e-12);
    EXPECT_EQ (log.progressReports.back(), 1.0);

    EXPECT_EQ (statusRow (0), "Zarvik Control: Control Firmware Completed");
    EXPECT_EQ (statusRow (1), "Zarvik Audio: Audio Firmware Completed");
    EXPECT_EQ (statusRow (2), "Zarvik Graphics: Graphics Firmware Completed");

    const juce::MemoryBlock expected[] = {
        imageBytes (BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize),
        imageBytes (BinaryData::RZ41_appap_syx, BinaryData::RZ41_appap_syxSize),
        imageBytes (BinaryData::RZ41_appga_syx, BinaryData::RZ41_appga_syxSize),
    };

    for (int processor = 0; processor < 3; ++processor)
    {
        const auto images = zarvik->getUnit().getImages (processor);
        ASSERT_EQ (images.size(), 1u) << "processor " << processor;
        EXPECT_TRUE (images[0].valid) << images[0].problem;
        EXPECT_TRUE (juce::MemoryBlock (images[0].bytes.data(), images[0].bytes.size()) == expected[processor]) << "processor " << processor;
        EXPECT_EQ (zarvik->getUnit().getStatistics (processor).pacingFaults, 0u) << "processor " << processor << ": slices closer than one interval apart";
    }

    press (*findAlert (completeTitle), "OK");
    ASSERT_TRUE (TestUtilities::runUntil ([this]
                                          { return ! app->getController()->updateRunning; }));
    EXPECT_TRUE (child (updateButtonChild).isEnabled());
    EXPECT_EQ (log.progressReports.back(), 0.0);
}

TEST_F (ApplicationTest, APackageOfAMultipleOf20SlicesEndsWithOneCompletionMessage)
{
    // 16 + 15 + 4 + 4 + 1 = 40 slices: the last slice alone would make the progress whole.
    app.reset();
    app = std::make_unique<RZ41FirmwareUpdaterApplication> (ports, [] (juce::OwnedArray<FirmwareItem>& items)
                                                            {
                                                                const std::tuple<uint8_t, int, const char*, const char*> package[] = {
                                                                    { 0x10, 16, "Zarvik Audio", "Audio Application Firmware" },
                                                                    { 0x20, 15, "Zarvik Graphics", "Graphics Application Firmware" },
                                                                    { 0x20, 4, "Zarvik Graphics", "Graphics Assets" },
                                                                    { 0x10, 4, "Zarvik Audio", "Audio Assets" },
                                                                    { 0x00, 1, "Zarvik Control", "Control Firmware" },
                                                                };

                                                                for (const auto& [processorByte, slices, port, name] : package)
                                                                {
                                                                    const auto image = TestImages::make (processorByte, (size_t) (256 * slices - 7));
                                                                    items.add (new FirmwareItem (image.data(), (int) image.size(), 256, 3, port, name));
                                                                } });
    SetUp();
    plugInUnit();
    startUpdateFromTheWindow ("Important Firmware Update Information");

    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { return findAlert (completeTitle) != nullptr; }));
    TestUtilities::runUntil ([]
                             { return false; },
                             300);

    EXPECT_EQ (countAlerts (completeTitle), 1);
    EXPECT_EQ (std::count (log.progressReports.begin(), log.progressReports.end(), 1.0), 1);
}

TEST_F (ApplicationTest, WithTestFirmwareAUnitWithoutTheRehearsalMarkerIsToldWhyAndSentNothing)
{
    if (! carriesTestFirmware())
        GTEST_SKIP() << "this build carries a firmware release";

    plugInUnit ([] (SimulatedZarvik& unit)
                { unit.setRehearsalMarker (false); });

    DialogAnswerer instructions ("Important Firmware Update Information", "OK");
    DialogAnswerer refusal ("Test Firmware Only", "OK");
    auto requestsWhenRefused = 0;
    refusal.onSeen = [&]
    { requestsWhenRefused = zarvik->getUnit().getStatistics (0).identityRequests; };
    dynamic_cast<juce::Button&> (child (updateButtonChild)).triggerClick();
    ASSERT_TRUE (TestUtilities::runUntil ([&refusal]
                                          { return refusal.answered(); }));
    juce::MessageManager::getInstance()->runDispatchLoopUntil (300);

    EXPECT_FALSE (instructions.answered());
    EXPECT_FALSE (app->getController()->updateRunning);
    EXPECT_GT (zarvik->getUnit().getStatistics (0).identityRequests, requestsWhenRefused) << "dismissing it makes the controller ask the unit again";

    for (int processor = 0; processor < 3; ++processor)
    {
        const auto statistics = zarvik->getUnit().getStatistics (processor);
        EXPECT_EQ (statistics.bytesReceived, 6u * (uint64_t) statistics.identityRequests) << "processor " << processor;
    }
}

TEST_F (ApplicationTest, QuittingDuringAnUpdateAsksAndCancelLeavesTheTransferRunning)
{
    plugInUnit();
    startUpdateFromTheWindow ("Important Firmware Update Information");
    ASSERT_TRUE (progressReported());

    // Everything is counted in the standard form: 20 slices of 70,277.
    EXPECT_NEAR (firstProgressReport(), 20.0 / 70277.0, 1e-12);
    EXPECT_EQ (statusRow (1), "Zarvik Audio: Audio Firmware Started");

    // A kill while the question is open opens no second one: the later
    // answerer would find and answer it.
    size_t reportsWhenAsked = 0;
    DialogAnswerer question (quitTitle, "Cancel", 300);
    DialogAnswerer secondQuestion (quitTitle, "Cancel", 600);
    question.onSeen = [&]
    {
        reportsWhenAsked = log.progressReports.size();
        std::raise (SIGTERM);
    };

    // The window's close button takes the same way as the system's quit request.
    app->getMainWindow()->getPeer()->handleUserClosingWindow();

    ASSERT_TRUE (question.answered());
    EXPECT_FALSE (secondQuestion.answered());
    EXPECT_EQ (question.seenMessage, quitMessage);
    EXPECT_EQ (question.seenButtons, juce::StringArray ("Yes", "Cancel"));
    EXPECT_TRUE (question.seenWarningIcon);
    EXPECT_GT (log.progressReports.size(), reportsWhenAsked) << "the transfer went on while the question was open";

    EXPECT_FALSE (juce::MessageManager::getInstance()->hasStopMessageBeenSent());
    EXPECT_TRUE (app->getMainWindow()->isShowing());
    EXPECT_TRUE (app->getController()->updateRunning);

    const auto reportsAfterCancel = log.progressReports.size();
    EXPECT_TRUE (TestUtilities::runUntil ([&]
                                          { return log.progressReports.size() > reportsAfterCancel + 2; }));

    // The test ends with the transfer under way: the application is torn down in the middle of it.
}

TEST_F (ApplicationTest, AnUnpluggedUnitAbortsWithOneMessageAndTheQuitQuestionStaysUntilItIsDismissed)
{
    plugInUnit();
    startUpdateFromTheWindow ("Important Firmware Update Information");
    ASSERT_TRUE (progressReported());

    zarvik->unplug (1);

    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { return findAlert (abortTitle) != nullptr; }));
    juce::MessageManager::getInstance()->runDispatchLoopUntil (200);
    EXPECT_EQ (countAlerts (abortTitle), 1);
    EXPECT_EQ (statusRow (0), "Zarvik Control: Control Firmware Aborted");
    EXPECT_EQ (statusRow (1), "Zarvik Audio: Audio Firmware Aborted");
    EXPECT_EQ (statusRow (2), "Zarvik Graphics: Graphics Firmware Aborted");

    // Aborted is not reset: quitting still asks.
    {
        DialogAnswerer question (quitTitle, "Cancel");
        app->systemRequestedQuit();
        EXPECT_TRUE (question.answered());
        EXPECT_FALSE (juce::MessageManager::getInstance()->hasStopMessageBeenSent());
    }

    press (*findAlert (abortTitle), "OK");
    ASSERT_TRUE (TestUtilities::runUntil ([this]
                                          { return ! app->getController()->updateRunning; }));
    EXPECT_TRUE (child (updateButtonChild).isEnabled());
}

//==============================================================================
// Quitting ends the message loop for good, so these run in a child process of their own.
class ApplicationQuitTest : public ApplicationTest
{
protected:
    static void exitWith (bool ok)
    {
        std::fflush (stderr);
        std::_Exit (ok ? 0 : 1);
    }
};

TEST_F (ApplicationQuitTest, WithNoUpdateRunningTheProgramQuitsAtOnceWithoutAQuestion)
{
    GTEST_FLAG_SET (death_test_style, "threadsafe");

    EXPECT_EXIT (
        {
            // Would a question come up, it is cancelled so that the failure shows.
            DialogAnswerer question (quitTitle, "Cancel");
            app->getMainWindow()->getPeer()->handleUserClosingWindow();

            const auto quit = juce::MessageManager::getInstance()->hasStopMessageBeenSent();
            const auto asked = question.answered();
            app.reset();
            exitWith (quit && ! asked);
        },
        ::testing::ExitedWithCode (0),
        "");
}

TEST_F (ApplicationQuitTest, ConfirmingTheQuestionEndsTheProgramInTheMiddleOfTheTransfer)
{
    GTEST_FLAG_SET (death_test_style, "threadsafe");

    EXPECT_EXIT (
        {
            plugInUnit();
            app->getController()->startUpdate (false);
            const auto running = progressReported();

            DialogAnswerer question (quitTitle, "Yes");
            app->systemRequestedQuit();

            const auto quit = question.answered() && juce::MessageManager::getInstance()->hasStopMessageBeenSent();
            const auto midTransfer = zarvik->getUnit().isReceivingImage (1);

            // Teardown with the senders still going; the unit keeps what it got, unfinished.
            app.reset();
            exitWith (running && quit && midTransfer && zarvik->getUnit().getImageCount (1) == 0);
        },
        ::testing::ExitedWithCode (0),
        "");
}
