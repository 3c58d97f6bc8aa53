#include "MainWindowComponent.h"
#include "threads/MessageThreadLock.h"

#include <BinaryData.h>

namespace
{
juce::String joinLines (std::initializer_list<const char*> lines)
{
    juce::StringArray pieces;

    for (auto* line : lines)
        pieces.add (line);

    return pieces.joinIntoString ("\r\n");
}

juce::Image loadPicture (const char* data, int size)
{
    // The cache decodes each picture once; the LED is reloaded at every hardware poll.
    return juce::ImageCache::getFromMemory (data, size);
}

void setPictures (juce::ImageButton& button, const juce::Image& normal, const juce::Image& over, const juce::Image& down)
{
    const auto none = juce::Colour (0x00000000);
    button.setImages (true, false, true, normal, 1.0f, none, over, 1.0f, none, down, 1.0f, none, 0.0f);
}

juce::String stateWord (int state)
{
    switch (state)
    {
        case Controller::waiting:
            return "Waiting";
        case Controller::started:
            return "Started";
        case Controller::completed:
            return "Completed";
        case Controller::sending:
            return "Sending";
        case Controller::aborted:
            return "Aborted";
        default:
            return {};
    }
}

juce::String completionMessage()
{
    return juce::String ("Firmware has been sent to the device. ") + "\r\n"
           + "Reset the unit when both screens tells you to do so and the right play button is blinking." + "\r\n"
           + "Press the OK button after the unit has been reset";
}

bool carriesTestFirmware (const Controller& controller)
{
    return controller.getFirmwareKind() == FirmwarePackage::Kind::testFirmware;
}

constexpr int controlRow = 0;
constexpr int audioRow = 1;
constexpr int graphicsRow = 2;

const char* const processorNames[] = { "Zarvik Control", "Zarvik Audio", "Zarvik Graphics" };

// The colour of a current version by how it compares with the carried one.
juce::Colour checkColour (int check)
{
    switch (check)
    {
        case Controller::waitingForUnit:
            return juce::Colour (0xFF9A9A9A);
        case Controller::upToDate:
            return juce::Colour (0xFF1B7F2E);
        case Controller::notUpToDate:
            return juce::Colour (0xFFC0141E);
        default:
            return juce::Colour (0xFF555555);
    }
}
}

const juce::String standardInstructionText = joinLines ({ "This process will erase your current firmware and update with new firmware.",
                                                          "Read these instructions carefully before following them",
                                                          "1. Power Your device off. ",
                                                          "2. While holding the left Play and Cue buttons, power the device on",
                                                          "3. Press the blinking 'Play' button",
                                                          "4. Wait while both screens indicate they are erasing the firmware.",
                                                          "5. After both screens indicate they are ready for an update, press the OK Button" });

const juce::String solvaneInstructionText = joinLines ({ "This process will erase your current firmware and update with new firmware.",
                                                         "Read these instructions carefully before following them",
                                                         "1. Power Your device off. ",
                                                         "2. While holding Play and Cue Buttons, power the device on",
                                                         "3. Press the FX B on CH 4 button",
                                                         "4. Wait while both screens indicate they are erasing the firmware.",
                                                         "5. After both screens indicate they are ready for an update, press the OK Button" });

//==============================================================================
/** Resets the controller when a completion or abort message is dismissed, however it is closed. */
class MainWindowComponent::AlertWindowCallback final : public juce::ModalComponentManager::Callback
{
public:
    explicit AlertWindowCallback (MainWindowComponent* ownerToUse)
        : owner (ownerToUse) {}

    void modalStateFinished (int) override
    {
        // The component may be gone while its message is still on screen.
        if (owner == nullptr)
            return;

        owner->controller->resetUpdate();
        owner->abortAlertShowing = false;
        owner->takeBackKeyboardFocus();
    }

private:
    juce::Component::SafePointer<MainWindowComponent> owner;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AlertWindowCallback)
};

//==============================================================================
MainWindowComponent::MainWindowComponent (Controller* controllerToUse)
    : controller (controllerToUse)
{
    setLookAndFeel (&look);

    const auto picture = loadPicture (BinaryData::Zarvik_DriverUpdateUtility_Background_png, BinaryData::Zarvik_DriverUpdateUtility_Background_pngSize);
    background.setImage (picture);
    background.setBounds (0, 0, picture.getWidth(), picture.getHeight());
    addAndMakeVisible (background);

    setPictures (updateButton,
                 loadPicture (BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_pngSize),
                 loadPicture (BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_pngSize),
                 loadPicture (BinaryData::Zarvik_DriverUpdateUtility_Button_Press_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Press_pngSize));

    setSize (background.getWidth(), background.getHeight());

    updateButton.setTopLeftPosition (330, getHeight() - updateButton.getHeight() - 20);
    addAndMakeVisible (updateButton);

    // The LED has no picture yet, so it is still 0 x 0 here and the label starts 7 pixels right of its left edge.
    hardwareLed.setTopLeftPosition (10, updateButton.getY() + updateButton.getHeight() / 2);
    addAndMakeVisible (hardwareLed);

    hardwareStatusLabel.setBounds (hardwareLed.getX() + hardwareLed.getWidth() + 7, hardwareLed.getY(), 200, 14);
    addAndMakeVisible (hardwareStatusLabel);

    availableFirmwareLabel.setText ("Available Firmware", juce::dontSendNotification);
    currentFirmwareLabel.setText ("Current Firmware", juce::dontSendNotification);

    const juce::Font headingFont (18.0f);
    const juce::Font versionFont (20.0f);
    const juce::Colour headingColour (0xFF808080);
    const juce::Colour versionColour (0xFF555555);

    availableFirmwareLabel.setFont (headingFont);
    availableFirmwareLabel.setBounds (getWidth() / 2, 195, 150, 18);
    availableFirmwareLabel.setColour (juce::Label::textColourId, headingColour);

    currentFirmwareLabel.setFont (headingFont);
    currentFirmwareLabel.setBounds (10, availableFirmwareLabel.getY(), 150, 18);
    currentFirmwareLabel.setColour (juce::Label::textColourId, headingColour);

    const auto stackUnder = [&] (const juce::Label& heading, std::initializer_list<juce::Label*> lines)
    {
        auto y = heading.getBottom() + 2;

        for (auto* line : lines)
        {
            line->setColour (juce::Label::textColourId, versionColour);
            line->setFont (versionFont);
            line->setBounds (heading.getX(), y, 200, 20);
            y = line->getBottom() + 2;
        }
    };

    stackUnder (availableFirmwareLabel, { &availableControlVersionLabel, &availableAudioVersionLabel, &availableGraphicsVersionLabel });
    stackUnder (currentFirmwareLabel, { &currentControlVersionLabel, &currentAudioVersionLabel, &currentGraphicsVersionLabel });

    productLabel.setText ("Product: Brelmar Zarvik", juce::dontSendNotification);
    productLabel.setBounds (10, 160, 200, 16);
    productLabel.setFont (versionFont);
    addAndMakeVisible (productLabel);

    // The order decides what lies in front.
    for (auto* label : { &availableControlVersionLabel,
                         &availableAudioVersionLabel,
                         &availableGraphicsVersionLabel,
                         &availableFirmwareLabel,
                         &currentControlVersionLabel,
                         &currentAudioVersionLabel,
                         &currentGraphicsVersionLabel,
                         &currentFirmwareLabel })
        addAndMakeVisible (label);

    hardwareDetectedChanged (false);

    // Transparent, so the well in the background picture shows around the bar.
    progressBar.setColour (juce::ProgressBar::backgroundColourId, juce::Colour (0x00000000));
    progressBar.setBounds (21, 316, 457, 24);
    addAndMakeVisible (progressBar);

    for (int row = 0; row < 3; ++row)
        statusLabels.add (new juce::Label());

    softwareVersionLabel.setText (juce::String ("Software Version: ") + ZARVIK_VERSION, juce::dontSendNotification);
    softwareVersionLabel.setBounds (updateButton.getX(), updateButton.getBottom() + 3, 150, 12);
    addAndMakeVisible (softwareVersionLabel);

    for (int row = 0; row < statusLabels.size(); ++row)
    {
        auto* label = statusLabels.getUnchecked (row);
        label->setBounds (13, progressBar.getBottom() + 19 * row, 400, 19);
        label->setFont (juce::Font (16.0f));
        addAndMakeVisible (label);
    }

    // Between the version table and the progress bar's well, where the fixed layout leaves room.
    checkSummaryLabel.setBounds (10, 286, 480, 22);
    checkSummaryLabel.setFont (juce::Font (15.0f, juce::Font::bold));
    addAndMakeVisible (checkSummaryLabel);

    // Above the product line, where the fixed layout leaves a free band under the header's rule.
    if (carriesTestFirmware (*controller))
    {
        testFirmwareBadge.setText (FirmwarePackage::testFirmwareNotice, juce::dontSendNotification);
        testFirmwareBadge.setBounds (10, 144, 480, 15);
        testFirmwareBadge.setFont (juce::Font (13.0f, juce::Font::bold));
        testFirmwareBadge.setJustificationType (juce::Justification::centred);
        testFirmwareBadge.setColour (juce::Label::backgroundColourId, juce::Colour (0xFFFFC940));
        testFirmwareBadge.setColour (juce::Label::textColourId, juce::Colour (0xFF3A2A00));
        addAndMakeVisible (testFirmwareBadge);
    }

    // Key presses reach the key listener only while this panel or one of its children has the focus.
    setWantsKeyboardFocus (true);

    addKeyListener (this);
    updateButton.addListener (this);
}

MainWindowComponent::~MainWindowComponent()
{
    // The look is destroyed before the children; nothing may still use it by then.
    setLookAndFeel (nullptr);
}

//==============================================================================
void MainWindowComponent::availableVersionChanged (int processor, const juce::String& version)
{
    switch (processor)
    {
        case 0:
            availableControlVersionLabel.setText ("Zarvik Control: " + version, juce::dontSendNotification);
            break;
        case 1:
            availableAudioVersionLabel.setText ("Zarvik Audio: " + version, juce::dontSendNotification);
            break;
        case 2:
            availableGraphicsVersionLabel.setText ("Zarvik Graphics: " + version, juce::dontSendNotification);
            break;
        default:
            break;
    }
}

void MainWindowComponent::currentVersionChanged (int processor, const juce::String& version)
{
    if (juce::isPositiveAndBelow (processor, (int) reportedVersions.size()))
        reportedVersions[(size_t) processor] = version;

    switch (processor)
    {
        case 0:
            // The control line is shown by its own report, also before the hardware check has.
            currentControlVersionLabel.setVisible (false);
            currentControlVersionLabel.setText ("Zarvik Control: " + version, juce::dontSendNotification);
            currentControlVersionLabel.setVisible (true);
            break;
        case 1:
            currentAudioVersionLabel.setText ("Zarvik Audio: " + version, juce::dontSendNotification);
            break;
        case 2:
            currentGraphicsVersionLabel.setText ("Zarvik Graphics: " + version, juce::dontSendNotification);
            break;
        default:
            break;
    }
}

void MainWindowComponent::hardwareDetectedChanged (bool detected)
{
    const MessageThreadLock lock (juce::Thread::getCurrentThread());

    if (! lock.lockWasGained())
        return;

    // More than one unit is found but cannot be updated: the LED stays red.
    const auto ready = detected && ! severalUnits;
    const auto led = ready ? loadPicture (BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_pngSize)
                           : loadPicture (BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_pngSize);

    hardwareStatusLabel.setText (! detected ? "Hardware Not Detected" : severalUnits ? "More Than One Zarvik Detected"
                                                                                     : "Hardware Detected",
                                 juce::dontSendNotification);

    for (auto* line : { &currentAudioVersionLabel, &currentControlVersionLabel, &currentGraphicsVersionLabel })
        line->setVisible (detected);

    setPictures (hardwareLed, led, led, led);
    hardwareLed.setToggleState (false, juce::dontSendNotification);
    hardwareLed.setClickingTogglesState (false);
}

void MainWindowComponent::progressChanged (const double& newProgress)
{
    const MessageThreadLock lock (juce::Thread::getCurrentThread());

    if (! lock.lockWasGained())
        return;

    progress = newProgress;

    if (progress == 1.0)
        showCompletionAlert();
}

void MainWindowComponent::updateInProgressChanged (bool inProgress)
{
    updateButton.setEnabled (! inProgress);
}

void MainWindowComponent::firmwareItemStateChanged (int item, int state)
{
    const auto word = stateWord (state);

    if (state == Controller::aborted)
        showAbortAlert();

    switch (item)
    {
        case Controller::controlFirmware:
            setStatusText (controlRow, "Control Firmware " + word);
            break;
        case Controller::audioApplicationFirmware:
            setStatusText (audioRow, "Audio Firmware " + word);
            break;
        case Controller::audioAssets:
            setStatusText (audioRow, "Audio Assets " + word);
            break;
        case Controller::graphicsApplicationFirmware:
            setStatusText (graphicsRow, "Graphics Firmware " + word);
            break;
        case Controller::graphicsAssets:
            setStatusText (graphicsRow, "Graphic Assets " + word);
            break;
        default:
            break;
    }
}

void MainWindowComponent::severalUnitsDetectedChanged (bool several)
{
    // Shown by the hardware report that follows at the same poll.
    severalUnits = several;
}

void MainWindowComponent::versionCheckChanged (int processor, int check)
{
    juce::Label* const lines[] = { &currentControlVersionLabel, &currentAudioVersionLabel, &currentGraphicsVersionLabel };

    if (! juce::isPositiveAndBelow (processor, (int) checks.size()))
        return;

    checks[(size_t) processor] = check;
    lines[processor]->setColour (juce::Label::textColourId, checkColour (check));
    updateCheckSummary();
}

void MainWindowComponent::updateCheckSummary()
{
    juce::StringArray notUpToDate;
    auto waiting = false, allUpToDate = true;

    for (size_t processor = 0; processor < checks.size(); ++processor)
    {
        if (checks[processor] == Controller::notUpToDate)
            notUpToDate.add (juce::String (processorNames[processor]) + " (" + reportedVersions[processor] + ")");

        waiting = waiting || checks[processor] == Controller::waitingForUnit;
        allUpToDate = allUpToDate && checks[processor] == Controller::upToDate;
    }

    juce::String text;
    auto colour = checkColour (Controller::upToDate);

    if (! notUpToDate.isEmpty())
    {
        text = "The update did not take on " + notUpToDate.joinIntoString (", ") + ": run the update again";
        colour = checkColour (Controller::notUpToDate);
    }
    else if (waiting)
    {
        text = "Checking the update: waiting for the unit to answer";
        colour = juce::Colour (0xFF555555);
    }
    else if (allUpToDate)
    {
        text = "Up to date: the unit runs the firmware this updater carries";
    }

    checkSummaryLabel.setText (text, juce::dontSendNotification);
    checkSummaryLabel.setColour (juce::Label::textColourId, colour);
}

void MainWindowComponent::updateRefused (int reason)
{
    showRefusal (reason);
}

void MainWindowComponent::setStatusText (int row, const juce::String& text)
{
    const MessageThreadLock lock (juce::Thread::getCurrentThread());

    if (! lock.lockWasGained() || ! juce::isPositiveAndBelow (row, statusLabels.size()))
        return;

    static const char* const prefixes[] = { "Zarvik Control: ", "Zarvik Audio: ", "Zarvik Graphics: " };

    if (juce::isPositiveAndBelow (row, (int) std::size (prefixes)))
        statusLabels.getUnchecked (row)->setText (prefixes[row] + text, juce::dontSendNotification);
}

//==============================================================================
bool MainWindowComponent::keyPressed (const juce::KeyPress& key, juce::Component*)
{
    solvaneModeArmed = key.isCurrentlyDown() && key.getTextCharacter() == 'n';
    return true;
}

void MainWindowComponent::buttonClicked (juce::Button* button)
{
    if (button != &updateButton)
        return;

    // Stop querying the unit while the user switches it off and on as the instructions say.
    controller->versionQueryPending = false;

    const auto solvaneMode = solvaneModeArmed;

    // What startUpdate would refuse is said before the user switches the unit
    // off and on; what changes while the instructions are open, startUpdate
    // reports itself.
    if (const auto refusal = controller->checkBeforeUpdate(); refusal != Controller::noRefusal)
        showRefusal (refusal);
    else if (! confirmInstructions (solvaneMode))
        controller->resetUpdate();
    else
        controller->startUpdate (solvaneMode);

    solvaneModeArmed = false;
    takeBackKeyboardFocus();
}

bool MainWindowComponent::confirmInstructions (bool solvaneMode)
{
    auto message = solvaneMode ? solvaneInstructionText : standardInstructionText;

    if (carriesTestFirmware (*controller))
        message << "\r\n"
                << FirmwarePackage::testFirmwareNotice << ". This build cannot update a real Zarvik.";

    return juce::AlertWindow::showOkCancelBox (juce::AlertWindow::WarningIcon,
                                               solvaneMode ? "Important Firmware Update Information (Solvane Mode)"
                                                           : "Important Firmware Update Information",
                                               message,
                                               "OK",
                                               "Cancel",
                                               nullptr,
                                               nullptr);
}

void MainWindowComponent::takeBackKeyboardFocus()
{
    // A closed dialog leaves the keyboard with nobody unless a window manager
    // hands it back; the n key must reach this panel before the next click.
    if (isShowing())
        grabKeyboardFocus();
}

void MainWindowComponent::showCompletionAlert()
{
    juce::AlertWindow::showMessageBoxAsync (juce::AlertWindow::WarningIcon,
                                            "Firmware Update Complete",
                                            completionMessage(),
                                            "OK",
                                            nullptr,
                                            new AlertWindowCallback (this));
}

void MainWindowComponent::showRefusal (int reason)
{
    switch (reason)
    {
        case Controller::testFirmwareOnly:
            showMessage ("Test Firmware Only",
                         juce::String ("This build carries test firmware, for rehearsing an update with zarvik-sim, and cannot update a real unit.") + "\r\n"
                             + "No rehearsal unit has identified itself, so nothing was sent.");
            break;

        case Controller::moreThanOneUnit:
            showMessage ("More Than One Zarvik Connected",
                         juce::String ("More than one Zarvik (or something else using its port names) is connected, so nothing was sent.") + "\r\n"
                             + "Only the unit to update may stay plugged in: unplug the others, then press Update again.");
            break;

        case Controller::unitNotIdentified:
            showMessage ("Zarvik Not Identified",
                         juce::String ("The unit did not tell its firmware versions on all three of its ports, so nothing was sent.") + "\r\n"
                             + "Check its USB cable, then press Update again.");
            break;

        default:
            break;
    }
}

void MainWindowComponent::showMessage (const juce::String& title, const juce::String& message)
{
    // Dismissing it resets the controller, which asks the unit who it is again.
    juce::AlertWindow::showMessageBoxAsync (juce::AlertWindow::WarningIcon, title, message, "OK", nullptr, new AlertWindowCallback (this));
}

void MainWindowComponent::showAbortAlert()
{
    if (abortAlertShowing)
        return;

    abortAlertShowing = true;

    juce::AlertWindow::showMessageBoxAsync (juce::AlertWindow::WarningIcon,
                                            "Firmware Update Aborted",
                                            "Firmware update has been aborted due to Midi Error",
                                            "OK",
                                            nullptr,
                                            new AlertWindowCallback (this));
}
