#pragma once

#include "app/AppPlatform.h"
#include "app/MainWindow.h"
#include "control/Controller.h"
#include "firmware/FirmwareItem.h"
#include "firmware/FirmwarePackage.h"
#include "midi/MidiManager.h"
#include "ui/MainWindowComponent.h"

#include <juce_gui_basics/juce_gui_basics.h>

/**
    The application: owns every long-lived object, creates them in a fixed
    order in initialise, asks before quitting while an update runs, and
    releases them in its destructor. The program runs one instance per user.

    Everything runs on the message thread.
*/
class RZ41FirmwareUpdaterApplication final : public juce::JUCEApplication
{
public:
    /** Fills the item list at start: the embedded package in the program, another in tests. */
    using PackageFactory = std::function<void (juce::OwnedArray<FirmwareItem>&)>;

    /** Uses the given MIDI ports, which must outlive the application: the
        system's in the program, in-process ones in tools and tests. */
    explicit RZ41FirmwareUpdaterApplication (MidiPortSystem& ports = MidiPortSystem::getSystemPorts(),
                                             PackageFactory createPackage = FirmwarePackage::createFirmwareItems);
    ~RZ41FirmwareUpdaterApplication() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;
    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;

    /** Quits at once when no update has been started since the last reset;
        otherwise only when the user confirms the warning. The window's close
        button and the system's requests (signals) come here alike; the open
        warning answers any request that comes while it shows. */
    void systemRequestedQuit() override;

    /** The lock the program holds, from before JUCE starts until it ends, so
        that one user runs one instance; another user takes a lock of their own. */
    static juce::String getInstanceLockName();

    /** Null before initialise. */
    Controller* getController() const noexcept { return controller.get(); }
    MainWindowComponent* getMainComponent() const noexcept { return mainComponent.get(); }
    MainWindow* getMainWindow() const noexcept { return mainWindow.get(); }

private:
    void createFirmwareItems();

    // Released in reverse order: the quit requests, so that none comes during
    // teardown, then the items, and the MIDI manager last.
    MidiManager midiManager;
    const PackageFactory packageFactory;
    std::unique_ptr<MainWindowComponent> mainComponent;
    std::unique_ptr<Controller> controller;
    std::unique_ptr<MainWindow> mainWindow;
    juce::OwnedArray<FirmwareItem> firmwareItems;
    std::unique_ptr<AppPlatform::QuitRequests> quitRequests;
    std::unique_ptr<AppPlatform::RepaintPump> repaintPump;
    bool askingToQuit = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RZ41FirmwareUpdaterApplication)
};
