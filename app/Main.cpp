#include "app/RZ41FirmwareUpdaterApplication.h"
#include "control/UpdateLog.h"
#include "firmware/FirmwarePackage.h"

#include <iostream>

namespace
{
bool carriesTestFirmware()
{
    return FirmwarePackage::getKind() == FirmwarePackage::Kind::testFirmware;
}

juce::String usage()
{
    juce::String text;
    text << "usage: " << juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFileName() << " [--help]\n\n"
         << ZARVIK_PRODUCT_NAME << " " << ZARVIK_VERSION << " updates the firmware of a Brelmar Zarvik connected\n"
         << "over USB MIDI, in its window.\n\n"
         << "  --help  print this text and end\n";

    if (carriesTestFirmware())
        text << "\n"
             << FirmwarePackage::testFirmwareNotice << ". This build carries generated test\n"
             << "firmware and sends it only to a unit that identifies itself as a rehearsal unit\n"
             << "(zarvik-sim), never to a real Zarvik.\n";

    return text;
}
}

// JUCE's entry point is given argc and argv on most systems and nothing on
// Windows, where the process's command line is asked for instead.
inline juce::StringArray argumentsOf (int argc, const char** argv)
{
    return { argv + 1, argc - 1 };
}

inline juce::StringArray argumentsOf()
{
    return juce::JUCEApplicationBase::getCommandLineParameterArray();
}

JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wmissing-prototypes")
JUCE_CREATE_APPLICATION_DEFINE (RZ41FirmwareUpdaterApplication)

// --help is answered before the framework starts: no window, no display, and
// never handed to an updater that is already running.
extern "C" JUCE_MAIN_FUNCTION
{
    if (argumentsOf (JUCE_MAIN_FUNCTION_ARGS).contains ("--help"))
    {
        std::cout << usage() << std::flush;
        return 0;
    }

    // Without a display JUCE would crash building the window: say why instead,
    // and in the update log too, which support asks for.
    if (const auto display = AppPlatform::checkDisplay(); display.failed())
    {
        const auto why = "cannot open a display: " + display.getErrorMessage();
        std::cerr << why << std::endl;
        UpdateLog (UpdateLog::getDefaultFile()).couldNotStart (why);
        return 1;
    }

    if (carriesTestFirmware())
        std::cout << ZARVIK_PRODUCT_NAME << " " << ZARVIK_VERSION << " - " << FirmwarePackage::testFirmwareNotice << std::endl;

    // A second launch by the same user ends here, as quietly as JUCE's own check.
    juce::InterProcessLock instanceLock (RZ41FirmwareUpdaterApplication::getInstanceLockName());

    if (! instanceLock.enter (0))
        return 0;

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main (JUCE_MAIN_FUNCTION_ARGS);
}
JUCE_END_IGNORE_WARNINGS_GCC_LIKE
