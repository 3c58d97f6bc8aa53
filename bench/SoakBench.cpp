// Solvane-mode updates one after the other in one process, with the real
// controller against the simulated unit on in-process ports, as a service
// desk that updates unit after unit without restarting the updater would run
// them. Prints, after each update, the thread count beside its idle value
// (it must come back to it) and the peak resident memory, whose value after
// the 20th update may exceed that after the 2nd by 1 MB at most.
//
//   zarvik-bench-soak [updates]
//
// In a build with JUCE's leak detector (a debug build, such as the sanitizer
// build of scripts/test.sh), any object of a class that declares it and is
// still alive at exit is reported after the last line this program prints.

#include "control/Controller.h"
#include "firmware/FirmwarePackage.h"
#include "tools/simulator/InProcessZarvik.h"

#include <cstdio>
#include <malloc.h>
#include <sys/resource.h>

namespace
{
constexpr int updatesByDefault = 20;
constexpr long peakGrowthLimitKb = 1024;

#if JUCE_CHECK_MEMORY_LEAKS
constexpr bool leakDetectorActive = true;
#else
constexpr bool leakDetectorActive = false;
#endif

struct Outcome final : public Controller::Listener
{
    void progressChanged (const double& progress) override { finished = finished || progress >= 1.0; }

    void firmwareItemStateChanged (int, int state) override { aborted = aborted || state == Controller::aborted; }

    bool finished = false, aborted = false;
};

long peakRssKb()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int threadCount()
{
    return juce::File ("/proc/self/task").getNumberOfChildFiles (juce::File::findDirectories);
}

void runUntil (const std::function<bool()>& condition)
{
    while (! condition())
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);
}

/** Whether every image sent reached its processor whole, and nothing else did. */
bool imagesIntact (SimulatedZarvik& unit, const juce::OwnedArray<FirmwareItem>& items)
{
    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
    {
        const auto images = unit.getImages (processor);
        size_t next = 0;

        for (auto* item : items)
        {
            if (! item->inProgress && ! item->complete)
                continue;

            if (item->getPortName() != juce::String (SimulatedZarvik::getPortName (processor)))
                continue;

            const auto* bytes = static_cast<const uint8_t*> (item->getImageData().getData());

            if (next >= images.size() || ! images[next].valid
                || images[next].bytes != std::vector<uint8_t> (bytes, bytes + item->getImageData().getSize()))
                return false;

            ++next;
        }

        if (next != images.size())
            return false;
    }

    return true;
}
}

int main (int argc, char** argv)
{
    // glibc raises its mmap threshold whenever a large block is freed, so the
    // simulated unit's image buffers move onto the heap after a few updates
    // and lift the peak once, whatever the updater does. A fixed threshold
    // keeps them out of the heap and the figures about the updater.
    mallopt (M_MMAP_THRESHOLD, 128 * 1024);

    const auto updates = argc > 1 ? juce::jmax (2, juce::String (argv[1]).getIntValue()) : updatesByDefault;
    const auto logFile = juce::File::createTempFile ("soak-log.txt");
    auto ok = true;

    {
        juce::ScopedJuceInitialiser_GUI juce;
        InProcessMidiPorts ports;
        InProcessZarvik zarvik (ports);
        MidiManager manager (ports);
        juce::OwnedArray<FirmwareItem> items;
        FirmwarePackage::createFirmwareItems (items);

        Controller controller (&manager, &items, FirmwarePackage::getKind(), logFile);
        Outcome outcome;
        controller.addListener (&outcome);

        // Idle: the unit found, its versions read, its inputs open.
        runUntil ([&]
                  { return controller.canUpdateConnectedUnit(); });
        const auto idleThreads = threadCount();
        long peakAfterSecond = 0;

        std::printf ("%d Solvane-mode updates in one process; idle: %d threads, peak RSS %.1f MB\n", updates, idleThreads, (double) peakRssKb() / 1024.0);

        for (int update = 1; update <= updates; ++update)
        {
            outcome = {};
            zarvik.getUnit().clearReceived();
            const auto start = juce::Time::getMillisecondCounterHiRes();

            controller.startUpdate (true);
            runUntil ([&]
                      { return outcome.finished || outcome.aborted; });
            const auto seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
            const auto intact = outcome.finished && ! outcome.aborted && imagesIntact (zarvik.getUnit(), items);

            // Back to idle, as after the user dismissed the completion message.
            controller.resetUpdate();
            runUntil ([&]
                      { return controller.canUpdateConnectedUnit(); });

            const auto threads = threadCount();
            const auto peak = peakRssKb();

            if (update == 2)
                peakAfterSecond = peak;

            std::printf ("update %2d  %-8s %6.2f s   threads %d%s   peak RSS %7.1f MB\n",
                         update,
                         intact ? "complete" : "FAILED",
                         seconds,
                         threads,
                         threads == idleThreads ? "" : " (NOT IDLE)",
                         (double) peak / 1024.0);

            ok = ok && intact && threads == idleThreads;
        }

        const auto growth = peakRssKb() - peakAfterSecond;
        std::printf ("peak RSS after update %d minus after update 2: %ld kB (at most %ld kB)\n", updates, growth, peakGrowthLimitKb);
        ok = ok && growth <= peakGrowthLimitKb;

        controller.removeListener (&outcome);
    }

    logFile.deleteFile();
    std::printf ("%s\nJUCE's leak detector is %s in this build\n",
                 ok ? "soak passed" : "SOAK FAILED",
                 leakDetectorActive ? "active: leaked objects would be reported below" : "off (build with CMAKE_BUILD_TYPE=Debug to have it)");
    return ok ? 0 : 1;
}
