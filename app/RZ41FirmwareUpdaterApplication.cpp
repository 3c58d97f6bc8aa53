#include "RZ41FirmwareUpdaterApplication.h"

#include "firmware/FirmwarePackage.h"

RZ41FirmwareUpdaterApplication::RZ41FirmwareUpdaterApplication (MidiPortSystem& ports, PackageFactory createPackage)
    : midiManager (ports)
    , packageFactory (std::move (createPackage))
{
}

RZ41FirmwareUpdaterApplication::~RZ41FirmwareUpdaterApplication() = default;

const juce::String RZ41FirmwareUpdaterApplication::getApplicationName()
{
    return ZARVIK_PRODUCT_NAME;
}

const juce::String RZ41FirmwareUpdaterApplication::getApplicationVersion()
{
    return ZARVIK_VERSION;
}

bool RZ41FirmwareUpdaterApplication::moreThanOneInstanceAllowed()
{
    // JUCE's own check locks one file for every user of the machine; the
    // program takes a lock per user before JUCE starts instead.
    return true;
}

juce::String RZ41FirmwareUpdaterApplication::getInstanceLockName()
{
    return juce::String (ZARVIK_PRODUCT_NAME) + " (user " + AppPlatform::getUserId() + ")";
}

void RZ41FirmwareUpdaterApplication::initialise (const juce::String&)
{
    juce::LookAndFeel::getDefaultLookAndFeel().setUsingNativeAlertWindows (true);
    repaintPump = std::make_unique<AppPlatform::RepaintPump>();

    createFirmwareItems();
    controller = std::make_unique<Controller> (&midiManager, &firmwareItems, FirmwarePackage::getKind());
    mainComponent = std::make_unique<MainWindowComponent> (controller.get());
    controller->addListener (mainComponent.get());
    mainWindow = std::make_unique<MainWindow> (mainComponent.get());
    quitRequests = std::make_unique<AppPlatform::QuitRequests> ([this]
                                                                { systemRequestedQuit(); });
}

void RZ41FirmwareUpdaterApplication::shutdown()
{
}

void RZ41FirmwareUpdaterApplication::anotherInstanceStarted (const juce::String&)
{
}

void RZ41FirmwareUpdaterApplication::systemRequestedQuit()
{
    // The question does not pause the transfer: it goes on while the box is open.
    if (controller == nullptr || ! controller->updateRunning)
    {
        quit();
        return;
    }

    // The open question also answers a request that comes while it shows (another signal).
    if (askingToQuit)
        return;

    const juce::ScopedValueSetter<bool> asking (askingToQuit, true);
    const auto confirmed = juce::AlertWindow::showOkCancelBox (juce::AlertWindow::WarningIcon,
                                                               "Update In Progress",
                                                               "Do you really want to quit ? Pressing OK will leave the device in an unusable state until a firmware update is sucessfully performed.",
                                                               "Yes",
                                                               "Cancel",
                                                               nullptr,
                                                               nullptr);

    if (confirmed)
        quit();
}

void RZ41FirmwareUpdaterApplication::createFirmwareItems()
{
    packageFactory (firmwareItems);
}
