#include "DialogTestHelpers.h"
#include "UnpluggedWindow.h"

#include <BinaryData.h>
#include <gtest/gtest.h>

using namespace DialogTestHelpers;

namespace
{
enum Child
{
    background,
    updateButton,
    hardwareLed,
    hardwareStatus,
    product,
    availableControl,
    availableAudio,
    availableGraphics,
    availableHeading,
    currentControl,
    currentAudio,
    currentGraphics,
    currentHeading,
    progressBar,
    softwareVersion,
    statusRow0,
    statusRow1,
    statusRow2,
    checkSummary,
    numChildren
};

constexpr auto completeTitle = "Firmware Update Complete";
constexpr auto abortTitle = "Firmware Update Aborted";

class MainWindowComponentTest : public ::testing::Test,
                                protected UnpluggedWindow
{
protected:
    void TearDown() override { closeAllAlerts(); }

    juce::Component& child (Child index) { return *component.getChildComponent ((int) index); }
    juce::Label& label (Child index) { return dynamic_cast<juce::Label&> (child (index)); }
    juce::ImageButton& imageButton (Child index) { return dynamic_cast<juce::ImageButton&> (child (index)); }
    juce::String text (Child index) { return label (index).getText(); }

    // The part of the bar drawn red, as the user sees it: 0 empty, 1 full.
    double shownProgress()
    {
        auto& bar = child (progressBar);
        const auto image = bar.createComponentSnapshot (bar.getLocalBounds(), true, 1.0f);
        int red = 0;

        for (int x = 1; x < image.getWidth() - 1; ++x)
        {
            const auto pixel = image.getPixelAt (x, 3);
            red += (pixel.getRed() > 150 && pixel.getGreen() < 80 && pixel.getAlpha() == 255) ? 1 : 0;
        }

        return (double) red / (double) (image.getWidth() - 2);
    }

    bool barShows (double expected)
    {
        return TestUtilities::runUntil ([&]
                                        { return std::abs (shownProgress() - expected) < 0.01; },
                                        3000);
    }

    static juce::Image picture (const char* data, int size) { return juce::ImageCache::getFromMemory (data, size); }
};
}

//==============================================================================
TEST_F (MainWindowComponentTest, LaysOutEveryChildInFixedPixelsInTheOrderTheyLieOnTopOfEachOther)
{
    ASSERT_EQ (component.getNumChildComponents(), (int) numChildren);
    EXPECT_EQ (component.getBounds(), juce::Rectangle<int> (0, 0, 500, 452));

    struct Expected
    {
        Child child;
        juce::Rectangle<int> bounds;
        const char* type;
    };

    const Expected layout[] = {
        { background, { 0, 0, 500, 452 }, "ImageComponent" },
        { updateButton, { 330, 402, 150, 30 }, "ImageButton" },
        { hardwareLed, { 10, 417, 12, 12 }, "ImageButton" },
        { hardwareStatus, { 17, 417, 200, 14 }, "Label" },
        { product, { 10, 160, 200, 16 }, "Label" },
        { availableControl, { 250, 215, 200, 20 }, "Label" },
        { availableAudio, { 250, 237, 200, 20 }, "Label" },
        { availableGraphics, { 250, 259, 200, 20 }, "Label" },
        { availableHeading, { 250, 195, 150, 18 }, "Label" },
        { currentControl, { 10, 215, 200, 20 }, "Label" },
        { currentAudio, { 10, 237, 200, 20 }, "Label" },
        { currentGraphics, { 10, 259, 200, 20 }, "Label" },
        { currentHeading, { 10, 195, 150, 18 }, "Label" },
        { progressBar, { 21, 316, 457, 24 }, "ProgressBar" },
        { softwareVersion, { 330, 435, 150, 12 }, "Label" },
        { statusRow0, { 13, 340, 400, 19 }, "Label" },
        { statusRow1, { 13, 359, 400, 19 }, "Label" },
        { statusRow2, { 13, 378, 400, 19 }, "Label" },
        { checkSummary, { 10, 286, 480, 22 }, "Label" },
    };

    for (const auto& expected : layout)
    {
        auto& c = child (expected.child);
        EXPECT_EQ (c.getBounds(), expected.bounds) << "child " << expected.child;

        const bool typeMatches = juce::String (expected.type) == "Label"            ? dynamic_cast<juce::Label*> (&c) != nullptr
                                 : juce::String (expected.type) == "ImageButton"    ? dynamic_cast<juce::ImageButton*> (&c) != nullptr
                                 : juce::String (expected.type) == "ImageComponent" ? dynamic_cast<juce::ImageComponent*> (&c) != nullptr
                                                                                    : dynamic_cast<juce::ProgressBar*> (&c) != nullptr;
        EXPECT_TRUE (typeMatches) << "child " << expected.child << " is not a " << expected.type;
    }

    EXPECT_EQ (child (updateButton).getName(), "Update");
    EXPECT_EQ (child (currentControl).getName(), "Control Firmware Version");
    EXPECT_EQ (child (currentAudio).getName(), "Audio Firmware Version");
    EXPECT_EQ (child (currentGraphics).getName(), "Graphics Firmware Version");
    EXPECT_EQ (child (softwareVersion).getName(), "Software Version");
    EXPECT_EQ (child (hardwareLed).getName(), "");
}

TEST_F (MainWindowComponentTest, ShowsItsFixedTextsInTheirFontsAndColours)
{
    EXPECT_EQ (text (product), "Product: Brelmar Zarvik");
    EXPECT_EQ (text (currentHeading), "Current Firmware");
    EXPECT_EQ (text (availableHeading), "Available Firmware");
    EXPECT_EQ (text (softwareVersion), "Software Version: 1.0.6");

    for (auto heading : { currentHeading, availableHeading })
    {
        EXPECT_EQ (label (heading).getFont().getHeight(), 18.0f);
        EXPECT_EQ (label (heading).findColour (juce::Label::textColourId), juce::Colour (0xFF808080));
    }

    for (auto line : { currentControl, currentAudio, currentGraphics, availableControl, availableAudio, availableGraphics })
    {
        EXPECT_EQ (label (line).getFont().getHeight(), 20.0f) << "line " << line;
        EXPECT_EQ (label (line).findColour (juce::Label::textColourId), juce::Colour (0xFF555555)) << "line " << line;
    }

    EXPECT_EQ (label (product).getFont().getHeight(), 20.0f);

    for (auto row : { statusRow0, statusRow1, statusRow2 })
        EXPECT_EQ (label (row).getFont().getHeight(), 16.0f);

    // The bar is transparent, so the background's well shows through, and drawn by the custom look.
    EXPECT_EQ (child (progressBar).findColour (juce::ProgressBar::backgroundColourId), juce::Colour (0x00000000));
    EXPECT_NE (dynamic_cast<CustomLook*> (&child (progressBar).getLookAndFeel()), nullptr);
}

TEST_F (MainWindowComponentTest, StartsWithoutHardwareAnEnabledButtonAndEmptyRows)
{
    EXPECT_EQ (text (hardwareStatus), "Hardware Not Detected");
    EXPECT_EQ (imageButton (hardwareLed).getNormalImage(),
               picture (BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_pngSize));

    EXPECT_TRUE (child (currentHeading).isVisible());

    for (auto line : { currentControl, currentAudio, currentGraphics })
        EXPECT_FALSE (child (line).isVisible()) << "line " << line;

    for (auto line : { availableControl, availableAudio, availableGraphics, statusRow0, statusRow1, statusRow2 })
        EXPECT_EQ (text (line), "") << "line " << line;

    EXPECT_TRUE (child (updateButton).isEnabled());
    EXPECT_TRUE (barShows (0.0));
    EXPECT_EQ (imageButton (updateButton).getNormalImage(),
               picture (BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_pngSize));
    EXPECT_EQ (imageButton (updateButton).getOverImage(),
               picture (BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_pngSize));
    EXPECT_EQ (imageButton (updateButton).getDownImage(),
               picture (BinaryData::Zarvik_DriverUpdateUtility_Button_Press_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Press_pngSize));
}

TEST_F (MainWindowComponentTest, RegisteringWithTheControllerFillsTheAvailableColumn)
{
    controller.addListener (&component);

    EXPECT_EQ (text (availableControl), "Zarvik Control: 0.0.3.6");
    EXPECT_EQ (text (availableAudio), "Zarvik Audio: 0.0.2.5");
    EXPECT_EQ (text (availableGraphics), "Zarvik Graphics: 0.0.2.5");

    component.availableVersionChanged (3, "9.9.9.9");
    component.availableVersionChanged (-1, "9.9.9.9");

    for (auto line : { availableControl, availableAudio, availableGraphics, currentControl, currentAudio, currentGraphics })
        EXPECT_FALSE (text (line).contains ("9.9.9.9")) << "line " << line;

    controller.removeListener (&component);
}

TEST_F (MainWindowComponentTest, ShowsTheUnitsVersionsOnlyWhileTheHardwareIsDetectedButTheControlLineOnItsOwnReport)
{
    component.currentVersionChanged (0, "0.0.3.5");
    component.currentVersionChanged (1, "0.0.2.4");
    component.currentVersionChanged (2, "0.0.2.3");
    component.currentVersionChanged (3, "9.9.9.9");

    EXPECT_EQ (text (currentControl), "Zarvik Control: 0.0.3.5");
    EXPECT_EQ (text (currentAudio), "Zarvik Audio: 0.0.2.4");
    EXPECT_EQ (text (currentGraphics), "Zarvik Graphics: 0.0.2.3");

    EXPECT_TRUE (child (currentControl).isVisible());
    EXPECT_FALSE (child (currentAudio).isVisible());
    EXPECT_FALSE (child (currentGraphics).isVisible());

    component.hardwareDetectedChanged (true);

    EXPECT_EQ (text (hardwareStatus), "Hardware Detected");
    EXPECT_EQ (imageButton (hardwareLed).getNormalImage(),
               picture (BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_pngSize));
    EXPECT_EQ (child (hardwareLed).getBounds(), juce::Rectangle<int> (10, 417, 12, 12));

    for (auto line : { currentControl, currentAudio, currentGraphics })
        EXPECT_TRUE (child (line).isVisible()) << "line " << line;

    component.hardwareDetectedChanged (false);
    component.hardwareDetectedChanged (false);

    EXPECT_EQ (text (hardwareStatus), "Hardware Not Detected");
    EXPECT_EQ (child (hardwareLed).getBounds(), juce::Rectangle<int> (10, 417, 12, 12));
    EXPECT_FALSE (imageButton (hardwareLed).getToggleState());

    for (auto line : { currentControl, currentAudio, currentGraphics })
        EXPECT_FALSE (child (line).isVisible()) << "line " << line;

    // The texts are kept while hidden and come back with the hardware.
    component.hardwareDetectedChanged (true);
    EXPECT_EQ (text (currentAudio), "Zarvik Audio: 0.0.2.4");
}

TEST_F (MainWindowComponentTest, EachProcessorsRowShowsTheLatestReportForEitherOfItsItems)
{
    component.firmwareItemStateChanged (2, 3);
    EXPECT_EQ (text (statusRow1), "Zarvik Audio: Audio Assets Sending");

    component.firmwareItemStateChanged (1, 2);
    EXPECT_EQ (text (statusRow1), "Zarvik Audio: Audio Firmware Completed");

    component.firmwareItemStateChanged (4, 0);
    EXPECT_EQ (text (statusRow2), "Zarvik Graphics: Graphic Assets Waiting");

    component.firmwareItemStateChanged (3, 1);
    EXPECT_EQ (text (statusRow2), "Zarvik Graphics: Graphics Firmware Started");

    component.firmwareItemStateChanged (0, 2);
    EXPECT_EQ (text (statusRow0), "Zarvik Control: Control Firmware Completed");

    // An unknown state leaves the item name with its trailing blank; an unknown item changes nothing.
    component.firmwareItemStateChanged (0, 7);
    EXPECT_EQ (text (statusRow0), "Zarvik Control: Control Firmware ");

    component.firmwareItemStateChanged (5, 1);
    component.firmwareItemStateChanged (-1, 1);
    EXPECT_EQ (text (statusRow0), "Zarvik Control: Control Firmware ");
    EXPECT_EQ (text (statusRow1), "Zarvik Audio: Audio Firmware Completed");
    EXPECT_EQ (text (statusRow2), "Zarvik Graphics: Graphics Firmware Started");
    EXPECT_TRUE (openAlerts().isEmpty());
}

TEST_F (MainWindowComponentTest, TheUpdateButtonIsDisabledOnlyWhileAnUpdateIsInProgress)
{
    component.updateInProgressChanged (true);
    EXPECT_FALSE (child (updateButton).isEnabled());

    component.hardwareDetectedChanged (true);
    EXPECT_FALSE (child (updateButton).isEnabled());

    component.updateInProgressChanged (false);
    EXPECT_TRUE (child (updateButton).isEnabled());

    component.hardwareDetectedChanged (false);
    EXPECT_TRUE (child (updateButton).isEnabled());
}

//==============================================================================
TEST_F (MainWindowComponentTest, TheBarFollowsProgressAndOnlyExactlyOneOpensTheCompletionMessage)
{
    component.progressChanged (0.5);
    EXPECT_TRUE (barShows (0.5));
    EXPECT_TRUE (openAlerts().isEmpty());

    component.progressChanged (std::nextafter (1.0, 0.0));
    EXPECT_TRUE (openAlerts().isEmpty());

    component.progressChanged (1.0);
    EXPECT_TRUE (barShows (1.0));

    auto* alert = findAlert (completeTitle);
    ASSERT_NE (alert, nullptr);
    EXPECT_EQ (messageOf (*alert),
               "Firmware has been sent to the device. \r\n"
               "Reset the unit when both screens tells you to do so and the right play button is blinking.\r\n"
               "Press the OK button after the unit has been reset");
    EXPECT_EQ (buttonTextsOf (*alert), juce::StringArray ("OK"));
    EXPECT_EQ (alert->getAlertType(), juce::MessageBoxIconType::WarningIcon);
}

TEST_F (MainWindowComponentTest, DismissingTheCompletionMessageResetsTheController)
{
    controller.addListener (&component);
    controller.updateRunning = true;
    controller.versionQueryPending = false;
    component.updateInProgressChanged (true);

    component.progressChanged (1.0);
    ASSERT_TRUE (barShows (1.0));
    auto* alert = findAlert (completeTitle);
    ASSERT_NE (alert, nullptr);

    // Escape is another way of dismissing it, and resets all the same.
    pressKey (*alert, juce::KeyPress::escapeKey);

    ASSERT_TRUE (TestUtilities::runUntil ([this]
                                          { return ! controller.updateRunning; }));
    EXPECT_TRUE (controller.versionQueryPending);
    EXPECT_TRUE (barShows (0.0));
    EXPECT_TRUE (child (updateButton).isEnabled());
    EXPECT_EQ (countAlerts (completeTitle), 0);

    controller.removeListener (&component);
}

TEST_F (MainWindowComponentTest, AnAbortedItemOpensOneAbortMessageAtATime)
{
    component.firmwareItemStateChanged (1, 4);
    component.firmwareItemStateChanged (3, 4);
    component.firmwareItemStateChanged (0, 4);
    component.firmwareItemStateChanged (0, 4);

    EXPECT_EQ (countAlerts (abortTitle), 1);
    EXPECT_EQ (text (statusRow0), "Zarvik Control: Control Firmware Aborted");
    EXPECT_EQ (text (statusRow1), "Zarvik Audio: Audio Firmware Aborted");
    EXPECT_EQ (text (statusRow2), "Zarvik Graphics: Graphics Firmware Aborted");

    auto* alert = findAlert (abortTitle);
    ASSERT_NE (alert, nullptr);
    EXPECT_EQ (messageOf (*alert), "Firmware update has been aborted due to Midi Error");
    EXPECT_EQ (buttonTextsOf (*alert), juce::StringArray ("OK"));
    EXPECT_EQ (alert->getAlertType(), juce::MessageBoxIconType::WarningIcon);

    controller.updateRunning = true;
    ASSERT_TRUE (press (*alert, "OK"));
    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { return countAlerts (abortTitle) == 0; }));
    // The message's callback comes after it has left the screen, as a message of its own.
    ASSERT_TRUE (TestUtilities::runUntil ([this]
                                          { return ! controller.updateRunning; }))
        << "dismissing it resets the controller";

    // Once it is dismissed the next abort opens a new one.
    component.firmwareItemStateChanged (1, 4);
    EXPECT_EQ (countAlerts (abortTitle), 1);
}

TEST_F (MainWindowComponentTest, DismissingACompletionMessageClearsTheAbortGuard)
{
    component.progressChanged (1.0);
    component.firmwareItemStateChanged (1, 4);
    ASSERT_EQ (countAlerts (abortTitle), 1);

    auto* completion = findAlert (completeTitle);
    ASSERT_NE (completion, nullptr);
    controller.updateRunning = true;
    press (*completion, "OK");
    ASSERT_TRUE (TestUtilities::runUntil ([this]
                                          { return countAlerts (completeTitle) == 0 && ! controller.updateRunning; }));

    component.firmwareItemStateChanged (1, 4);
    EXPECT_EQ (countAlerts (abortTitle), 2);
}

TEST_F (MainWindowComponentTest, AMessageDismissedAfterTheComponentIsGoneTouchesNothing)
{
    {
        MainWindowComponent shortLived (&controller);
        shortLived.firmwareItemStateChanged (0, 4);
        ASSERT_EQ (countAlerts (abortTitle), 1);
    }

    controller.updateRunning = true;
    auto* alert = findAlert (abortTitle);
    ASSERT_NE (alert, nullptr);
    press (*alert, "OK");

    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { return countAlerts (abortTitle) == 0; }));
    EXPECT_TRUE (controller.updateRunning) << "nobody is left to reset the controller for";
}

TEST_F (MainWindowComponentTest, MoreThanOneUnitKeepsTheLedRedAndSaysSo)
{
    const auto green = picture (BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_pngSize);
    const auto red = picture (BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_pngSize);

    for (auto several : { true, false })
    {
        component.severalUnitsDetectedChanged (several);
        component.hardwareDetectedChanged (true);
        EXPECT_EQ (text (hardwareStatus), several ? "More Than One Zarvik Detected" : "Hardware Detected");
        EXPECT_EQ (imageButton (hardwareLed).getNormalImage(), several ? red : green);
        EXPECT_TRUE (child (currentAudio).isVisible());
    }
}

TEST_F (MainWindowComponentTest, VersionChecksColourTheCurrentVersionsAndOneLineSumsThemUp)
{
    constexpr int none = Controller::notChecked, waiting = Controller::waitingForUnit, upToDate = Controller::upToDate, notUpToDate = Controller::notUpToDate;
    component.currentVersionChanged (0, "0.0.3.6");
    component.currentVersionChanged (1, "0.0.2.4");
    component.currentVersionChanged (2, "0.0.2.1");

    const struct
    {
        std::array<int, 3> checks;
        const char* summary;
    } cases[] = {
        { { none, none, none }, "" },
        { { upToDate, none, none }, "" },
        { { upToDate, upToDate, upToDate }, "Up to date: the unit runs the firmware this updater carries" },
        { { waiting, upToDate, waiting }, "Checking the update: waiting for the unit to answer" },
        { { upToDate, notUpToDate, waiting }, "The update did not take on Zarvik Audio (0.0.2.4): run the update again" },
        { { upToDate, notUpToDate, notUpToDate }, "The update did not take on Zarvik Audio (0.0.2.4), Zarvik Graphics (0.0.2.1): run the update again" },
    };

    const std::map<int, juce::Colour> colours { { none, juce::Colour (0xFF555555) }, { waiting, juce::Colour (0xFF9A9A9A) }, { upToDate, juce::Colour (0xFF1B7F2E) }, { notUpToDate, juce::Colour (0xFFC0141E) } };

    for (const auto& c : cases)
    {
        for (int processor = 0; processor < 3; ++processor)
            component.versionCheckChanged (processor, c.checks[(size_t) processor]);

        EXPECT_EQ (text (checkSummary), c.summary);

        for (int processor = 0; processor < 3; ++processor)
            EXPECT_EQ (label ((Child) (currentControl + processor)).findColour (juce::Label::textColourId), colours.at (c.checks[(size_t) processor]))
                << c.summary << ", processor " << processor;
    }

    // The texts the layout gives stay as they are.
    EXPECT_EQ (text (currentAudio), "Zarvik Audio: 0.0.2.4");
    EXPECT_TRUE (juce::Rectangle<int> (0, 280, 500, 34).contains (child (checkSummary).getBounds()));
}

TEST_F (MainWindowComponentTest, ARefusalSaysWhyAndDismissingItResetsTheController)
{
    controller.addListener (&component);

    const struct
    {
        Controller::Refusal reason;
        const char* title;
        const char* advice;
    } refusals[] = {
        { Controller::testFirmwareOnly, "Test Firmware Only", "cannot update a real unit" },
        { Controller::moreThanOneUnit, "More Than One Zarvik Connected", "Only the unit to update may stay plugged in" },
        { Controller::unitNotIdentified, "Zarvik Not Identified", "press Update again" },
    };

    for (const auto& [reason, title, advice] : refusals)
    {
        controller.versionQueryPending = false;
        component.updateRefused (reason);
        auto* alert = findAlert (title);
        ASSERT_NE (alert, nullptr) << title;
        EXPECT_TRUE (messageOf (*alert).contains ("nothing was sent")) << title;
        EXPECT_TRUE (messageOf (*alert).contains (advice)) << title;

        ASSERT_TRUE (press (*alert, "OK"));
        ASSERT_TRUE (TestUtilities::runUntil ([&]
                                              { return controller.versionQueryPending && openAlerts().isEmpty(); }))
            << title;
    }

    controller.removeListener (&component);
}

//==============================================================================
namespace
{
constexpr auto standardTitle = "Important Firmware Update Information";
constexpr auto solvaneTitle = "Important Firmware Update Information (Solvane Mode)";

class UpdateClickTest : public MainWindowComponentTest
{
protected:
    // Clicks "Update" and lets the answerer deal with the instruction dialog it opens.
    bool clickUpdateAndAnswer (DialogAnswerer& answerer)
    {
        dynamic_cast<juce::Button&> (child (updateButton)).triggerClick();
        return TestUtilities::runUntil ([&answerer]
                                        { return answerer.answered() && openAlerts().isEmpty(); });
    }
};
}

TEST (InstructionTexts, AreSevenLinesJoinedByCrLfWithTheirOwnStepsTwoAndThree)
{
    for (const auto* text : { &standardInstructionText, &solvaneInstructionText })
    {
        EXPECT_EQ (text->length() - text->replace ("\r\n", "").length(), 12) << "six CR LF pairs";
        EXPECT_FALSE (text->endsWith ("\r\n"));
        EXPECT_FALSE (text->replace ("\r\n", "").containsAnyOf ("\r\n")) << "no lone CR or LF";
    }

    const auto standard = juce::StringArray::fromTokens (standardInstructionText, "\n", "");
    const auto solvane = juce::StringArray::fromTokens (solvaneInstructionText, "\n", "");
    ASSERT_EQ (standard.size(), 7);
    ASSERT_EQ (solvane.size(), 7);

    EXPECT_EQ (standard[0], "This process will erase your current firmware and update with new firmware.\r");
    EXPECT_EQ (standard[1], "Read these instructions carefully before following them\r");
    EXPECT_EQ (standard[2], "1. Power Your device off. \r");
    EXPECT_EQ (standard[3], "2. While holding the left Play and Cue buttons, power the device on\r");
    EXPECT_EQ (standard[4], "3. Press the blinking 'Play' button\r");
    EXPECT_EQ (standard[5], "4. Wait while both screens indicate they are erasing the firmware.\r");
    EXPECT_EQ (standard[6], "5. After both screens indicate they are ready for an update, press the OK Button");

    EXPECT_EQ (solvane[3], "2. While holding Play and Cue Buttons, power the device on\r");
    EXPECT_EQ (solvane[4], "3. Press the FX B on CH 4 button\r");

    for (int line : { 0, 1, 2, 5, 6 })
        EXPECT_EQ (standard[line], solvane[line]) << "line " << line;
}

TEST_F (UpdateClickTest, OkOnTheStandardInstructionsStartsTheUpdate)
{
    DialogAnswerer answerer (standardTitle, "OK");
    bool queryPendingWhileShown = true;
    answerer.onSeen = [&]
    { queryPendingWhileShown = controller.versionQueryPending; };

    ASSERT_TRUE (clickUpdateAndAnswer (answerer));

    EXPECT_FALSE (queryPendingWhileShown) << "the version query stops before the dialog shows";
    EXPECT_EQ (answerer.seenMessage, standardInstructionText);
    EXPECT_EQ (answerer.seenButtons, juce::StringArray ("OK", "Cancel"));
    EXPECT_TRUE (answerer.seenWarningIcon);
    EXPECT_TRUE (controller.updateRunning);
}

TEST_F (UpdateClickTest, CancelOrEscapeResetsTheControllerAndStartsNothing)
{
    for (auto* button : { "Cancel", "" })
    {
        DialogAnswerer answerer (standardTitle, button);
        bool queryPendingWhileShown = true;
        answerer.onSeen = [&]
        { queryPendingWhileShown = controller.versionQueryPending; };

        ASSERT_TRUE (clickUpdateAndAnswer (answerer)) << "button '" << button << "'";

        EXPECT_FALSE (queryPendingWhileShown);
        EXPECT_TRUE (controller.versionQueryPending) << "reset sets it again";
        EXPECT_FALSE (controller.updateRunning) << "nothing was started";
    }
}

TEST_F (UpdateClickTest, AKeyThatIsNotHeldDownDoesNotArmTheAlternativeInstructions)
{
    // A key press replayed from elsewhere, not held on the keyboard, is not the user pressing n.
    EXPECT_TRUE (component.keyPressed (juce::KeyPress ('n'), &component));

    DialogAnswerer answerer (standardTitle, "Cancel");
    ASSERT_TRUE (clickUpdateAndAnswer (answerer));
    EXPECT_EQ (answerer.seenMessage, standardInstructionText);
}

//==============================================================================
TEST (TestFirmwareWindow, SaysSoInABadgeThatCoversNothingOfTheLayout)
{
    const UnpluggedWindow window (FirmwarePackage::Kind::testFirmware);
    const auto& component = window.component;
    ASSERT_EQ (component.getNumChildComponents(), (int) numChildren + 1);

    auto* badge = dynamic_cast<juce::Label*> (component.getChildComponent (numChildren));
    ASSERT_NE (badge, nullptr);
    EXPECT_EQ (badge->getText(), FirmwarePackage::testFirmwareNotice);
    EXPECT_TRUE (badge->isShowing());
    EXPECT_TRUE (component.getLocalBounds().contains (badge->getBounds()));

    for (int i = updateButton; i < numChildren; ++i)
        EXPECT_FALSE (component.getChildComponent (i)->getBounds().intersects (badge->getBounds())) << "child " << i;
}
