#include "app/RZ41FirmwareUpdaterApplication.h"

#include <iostream>

JUCE_CREATE_APPLICATION_DEFINE (RZ41FirmwareUpdaterApplication)

extern "C" JUCE_MAIN_FUNCTION
{
    // Without a display JUCE would crash building the window: say why instead.
    if (const auto display = AppPlatform::checkDisplay(); display.failed())
    {
        std::cerr << "cannot open a display: " << display.getErrorMessage() << std::endl;
        return 1;
    }

    // A second launch by the same user ends here, as quietly as JUCE's own check.
    juce::InterProcessLock instanceLock (RZ41FirmwareUpdaterApplication::getInstanceLockName());

    if (! instanceLock.enter (0))
        return 0;

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main (JUCE_MAIN_FUNCTION_ARGS);
}
