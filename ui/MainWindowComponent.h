#pragma once

#include "control/Controller.h"
#include "ui/CustomLook.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** The two forms of the instruction shown before an update, lines joined by CR LF. */
extern const juce::String standardInstructionText;
extern const juce::String solvaneInstructionText;

/**
    The main window's content: a fixed 500 x 452 panel with the version table,
    the progress bar, a status row per processor, the hardware indicator and
    the "Update" button, laid out once in the constructor.

    It shows only what the controller reports through its listener callbacks
    and calls back into it through startUpdate, resetUpdate and by clearing
    versionQueryPending. The controller is not owned and must outlive every
    callback; the caller registers the component with Controller::addListener.

    Everything runs on the message thread. The handlers that take the
    message-manager lock may also be entered from another thread.
*/
class MainWindowComponent final : public juce::Component,
                                  public Controller::Listener,
                                  public juce::KeyListener,
                                  public juce::Button::Listener
{
public:
    explicit MainWindowComponent (Controller* controller);
    ~MainWindowComponent() override;

    void availableVersionChanged (int processor, const juce::String& version) override;
    void currentVersionChanged (int processor, const juce::String& version) override;
    void hardwareDetectedChanged (bool detected) override;
    void progressChanged (const double& newProgress) override;
    void updateInProgressChanged (bool inProgress) override;
    void firmwareItemStateChanged (int item, int state) override;
    void severalUnitsDetectedChanged (bool severalUnits) override;

    /** Colours the processor's current version by how it compares with the
        carried one, and sums the three up in a line under the version table. */
    void versionCheckChanged (int processor, int check) override;

    /** Explains in a message why nothing was sent; dismissing it resets the controller. */
    void updateRefused (int reason) override;

    using juce::Component::keyPressed;

    /** Arms the "(Solvane Mode)" instruction for the next "Update" click when the
        key is a lower-case n held down; any other key disarms it. Consumes every key. */
    bool keyPressed (const juce::KeyPress& key, juce::Component* originatingComponent) override;

    /** The "Update" click: asks the user through the instruction dialog, which
        blocks until it is answered, then starts or resets the update. With test
        firmware and a unit that is not a rehearsal unit, it explains why
        nothing can be sent instead. */
    void buttonClicked (juce::Button* button) override;

private:
    class AlertWindowCallback;

    void setStatusText (int row, const juce::String& text);
    void showAbortAlert();
    void showCompletionAlert();
    void showRefusal (int reason);
    void showMessage (const juce::String& title, const juce::String& message);
    void updateCheckSummary();
    bool confirmInstructions (bool solvaneMode);
    void takeBackKeyboardFocus();

    Controller* const controller;

    // Declared before the progress bar, which reads it when it is built.
    double progress = 0.0;

    juce::ImageButton updateButton { "Update" };
    juce::ImageButton hardwareLed;
    juce::ProgressBar progressBar { progress };
    juce::ImageComponent background;
    juce::Label hardwareStatusLabel;
    juce::Label currentFirmwareLabel;
    juce::Label currentControlVersionLabel { "Control Firmware Version" };
    juce::Label currentAudioVersionLabel { "Audio Firmware Version" };
    juce::Label currentGraphicsVersionLabel { "Graphics Firmware Version" };
    juce::Label availableFirmwareLabel;
    juce::Label availableControlVersionLabel;
    juce::Label availableAudioVersionLabel;
    juce::Label availableGraphicsVersionLabel;
    juce::Label softwareVersionLabel { "Software Version" };
    juce::OwnedArray<juce::Label> statusLabels;
    juce::Label productLabel;
    juce::Label testFirmwareBadge;
    juce::Label checkSummaryLabel;
    CustomLook look;

    bool solvaneModeArmed = false;
    bool abortAlertShowing = false;
    bool severalUnits = false;
    std::array<int, 3> checks {};
    std::array<juce::String, 3> reportedVersions;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindowComponent)
};
