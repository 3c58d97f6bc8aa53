// Runs whole updates of the embedded firmware package with the real controller
// against the simulated unit on in-process ports, and prints how close the
// transfer comes to its pacing bound, the gaps between slices on each port,
// how long the message thread was ever held up, what it costs in CPU time
// (the updater's threads and the simulated unit's apart, measured without the
// probe of the message thread) and memory, and
// whether any port ever carried two transfers at once.
//
//   zarvik-bench-full-update [normal|solvane|both] [bytes per second]
//
// Each port takes bytes at 1,000,000 bytes per second unless told otherwise:
// a full-speed USB bulk endpoint moves about 1.2 MB/s, and USB MIDI carries
// three data bytes in each four-byte event, so a 256-byte slice holds the
// sending thread for about a quarter of a millisecond.

#include "bench/ProcessUsage.h"
#include "control/Controller.h"
#include "firmware/FirmwarePackage.h"
#include "tools/simulator/InProcessZarvik.h"

#include <algorithm>
#include <cstdio>
#include <juce_gui_basics/juce_gui_basics.h>
#include <map>
#include <numeric>
#include <optional>

namespace
{
constexpr double defaultBytesPerSecond = 1.0e6;

struct Reports final : public Controller::Listener
{
    void progressChanged (const double& progress) override
    {
        if (progress > 0.0)
            ++progressReports;

        if (progress == 1.0)
            ++finalReports;
    }

    void firmwareItemStateChanged (int, int state) override
    {
        if (state == Controller::aborted)
            aborted = true;
    }

    int progressReports = 0, finalReports = 0;
    bool aborted = false;
};

/** A 1 ms timer on the message thread that keeps the longest gap between its runs. */
struct MessageThreadProbe final : private juce::Timer
{
    MessageThreadProbe() { startTimer (1); }
    ~MessageThreadProbe() override { stopTimer(); }

    void timerCallback() override
    {
        const auto now = juce::Time::getMillisecondCounterHiRes();

        if (last > 0.0)
            longestGapMs = std::max (longestGapMs, now - last);

        last = now;
    }

    double last = 0.0, longestGapMs = 0.0;
};

double percentile (std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;

    std::sort (values.begin(), values.end());
    return values[(size_t) std::min ((double) values.size() - 1, p * (double) values.size())];
}

bool takesPart (const FirmwareItem& item, bool solvaneMode)
{
    return ! (solvaneMode && item.getImage().has_value() && ZarvikUnit::facts (*item.getImage()).assets);
}

// Each sender ticks once per slice and once more to complete; the senders of
// one port run one after the other, the ports side by side.
double pacingBoundSeconds (const juce::OwnedArray<FirmwareItem>& items, bool solvaneMode)
{
    std::map<juce::String, double> perPort;

    for (auto* item : items)
        if (takesPart (*item, solvaneMode))
            perPort[item->getPortName()] += (item->numChunks + 1) * item->intervalMs / 1000.0;

    double bound = 0.0;

    for (auto& port : perPort)
        bound = std::max (bound, port.second);

    return bound;
}

// Each mode is run twice: once with a 1 ms probe timer on the message thread,
// which measures how long that thread is ever held up, and once without it,
// which measures the processor time: the probe alone costs several percent
// of a core, more than the updater, and would hide what the updater costs.
bool runUpdate (Controller& controller, Reports& reports, InProcessZarvik& zarvik, juce::OwnedArray<FirmwareItem>& items, bool solvaneMode, bool probing)
{
    auto& unit = zarvik.getUnit();
    unit.clearReceived();
    reports = {};

    const auto before = ProcessUsage::now();
    const auto start = juce::Time::getMillisecondCounterHiRes();
    std::optional<MessageThreadProbe> probe;

    if (probing)
        probe.emplace();

    controller.startUpdate (solvaneMode);

    auto finished = [&]
    {
        return reports.aborted
               || std::all_of (items.begin(), items.end(), [&] (auto* item)
                               { return item->complete || ! takesPart (*item, solvaneMode); });
    };

    while (! finished())
        juce::MessageManager::getInstance()->runDispatchLoopUntil (50);

    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
    const auto after = ProcessUsage::now();
    const auto bound = pacingBoundSeconds (items, solvaneMode);

    std::printf ("\n%s mode, %s: %d items\n", solvaneMode ? "Solvane" : "Normal", probing ? "with the probe timer" : "without it", (int) std::count_if (items.begin(), items.end(), [&] (auto* i)
                                                                                                   { return takesPart (*i, solvaneMode); }));
    std::printf ("  wall time          %9.3f s, pacing bound %.3f s, ratio %.4f%s\n", seconds, bound, seconds / bound, reports.aborted ? "  ABORTED" : "");

    int maxTransfersAtOnce = 0;
    uint64_t pacingFaults = 0;
    bool intact = true;

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
    {
        const auto portName = juce::String (SimulatedZarvik::getPortName (processor));
        const auto arrivals = unit.getBufferArrivalTimes (processor);
        const auto images = unit.getImages (processor);
        const auto statistics = unit.getStatistics (processor);
        maxTransfersAtOnce = std::max (maxTransfersAtOnce, statistics.maxTransfersAtOnce);
        pacingFaults += statistics.pacingFaults;
        size_t imageIndex = 0;

        for (auto* item : items)
        {
            if (item->getPortName() != portName || ! takesPart (*item, solvaneMode))
                continue;

            const auto& expected = item->getImageData();
            const auto* bytes = static_cast<const uint8_t*> (expected.getData());
            intact = intact && imageIndex < images.size() && images[imageIndex].valid
                     && images[imageIndex].bytes == std::vector<uint8_t> (bytes, bytes + expected.getSize());
            ++imageIndex;
        }

        // Every gap between two buffers on the port, across its images too.
        std::vector<double> gapsMs;

        for (size_t i = 1; i < arrivals.size(); ++i)
            gapsMs.push_back ((arrivals[i] - arrivals[i - 1]) * 1000.0);

        if (gapsMs.empty())
            continue;

        std::printf ("  %-16s %6zu buffers, gap min %6.3f ms, p1 %6.3f, mean %6.3f, p99 %6.3f, max %7.3f ms, %llu under %.1f ms\n",
                     portName.toRawUTF8(),
                     arrivals.size(),
                     *std::min_element (gapsMs.begin(), gapsMs.end()),
                     percentile (gapsMs, 0.01),
                     std::accumulate (gapsMs.begin(), gapsMs.end(), 0.0) / (double) gapsMs.size(),
                     percentile (gapsMs, 0.99),
                     *std::max_element (gapsMs.begin(), gapsMs.end()),
                     (unsigned long long) statistics.pacingFaults,
                     SimulatedZarvik::minimumGapSeconds * 1000.0);
    }

    const auto cpu = after.cpuSeconds - before.cpuSeconds;
    const auto unitCpu = unit.getCpuSeconds();
    std::printf ("  images             %s\n", intact ? "all intact" : "DAMAGED");
    if (probe.has_value())
        std::printf ("  message thread     longest gap between runs of a 1 ms timer %.1f ms\n", probe->longestGapMs);

    std::printf ("  CPU time           %9.3f s, %.2f %% of one core: updater %.3f s (%.2f %%), simulated unit %.3f s (%.2f %%)\n",
                 cpu,
                 100.0 * cpu / seconds,
                 cpu - unitCpu,
                 100.0 * (cpu - unitCpu) / seconds,
                 unitCpu,
                 100.0 * unitCpu / seconds);
    std::printf ("  peak memory        %9.1f MB (the simulated unit's copies of the images included)\n", (double) after.peakMemoryKb / 1024.0);
    std::printf ("  progress reports   %9d, of which %d final\n", reports.progressReports, reports.finalReports);
    std::printf ("  transfers at once  %9d at most on one port\n", maxTransfersAtOnce);

    return ! reports.aborted && intact && maxTransfersAtOnce <= 1 && pacingFaults == 0;
}
}

int main (int argc, char** argv)
{
    const juce::String mode (argc > 1 ? argv[1] : "both");
    const auto bytesPerSecond = argc > 2 ? juce::String (argv[2]).getDoubleValue() : defaultBytesPerSecond;

    if (! juce::StringArray ({ "normal", "solvane", "both" }).contains (mode))
    {
        std::fprintf (stderr, "usage: %s [normal|solvane|both] [bytes per second]\n", argv[0]);
        return 2;
    }

    juce::ScopedJuceInitialiser_GUI juce;
    InProcessMidiPorts ports;
    InProcessZarvik zarvik (ports, false);

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
        zarvik.setByteRate (processor, bytesPerSecond);

    zarvik.plugIn();

    auto ok = true;

    {
        MidiManager manager (ports);
        juce::OwnedArray<FirmwareItem> items;
        FirmwarePackage::createFirmwareItems (items);

        Controller controller (&manager, &items, FirmwarePackage::getKind());
        Reports reports;
        controller.addListener (&reports);

        std::printf ("Full update of the embedded package, ports taking %.0f bytes per second\n", bytesPerSecond);

        for (auto solvaneMode : { false, true })
        {
            if (mode == "both" || mode == (solvaneMode ? "solvane" : "normal"))
            {
                for (auto probing : { false, true })
                {
                    // Test firmware goes out only once every processor has said,
                    // since the last update, that it is a rehearsal unit.
                    while (! controller.canUpdateConnectedUnit())
                        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

                    ok = runUpdate (controller, reports, zarvik, items, solvaneMode, probing) && ok;
                    controller.resetUpdate();
                }
            }
        }
    }

    return ok ? 0 : 1;
}
