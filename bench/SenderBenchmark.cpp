// Times the chunked sender on in-process ports with the simulated unit:
// the work of one slice on its own, then whole paced transfers, at an
// unlimited byte rate and at the rates of real links.

#include "firmware/FirmwarePackage.h"
#include "firmware/FirmwareSysexSender.h"
#include "tools/simulator/InProcessZarvik.h"

#include <algorithm>
#include <cstdio>
#include <juce_gui_basics/juce_gui_basics.h>
#include <numeric>

namespace
{
struct Completion final : public FirmwareSysexSender::Listener
{
    void sysexSenderStatusChanged (FirmwareSysexSender*, const juce::String& status) override
    {
        if (status == "Complete" || status == "Error")
            finalStatus = status;
    }

    juce::String finalStatus;
};

double percentile (std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;

    std::sort (values.begin(), values.end());
    return values[(size_t) std::min ((double) values.size() - 1, p * (double) values.size())];
}

FirmwareItem* findItem (juce::OwnedArray<FirmwareItem>& items, const juce::String& name)
{
    for (auto* item : items)
        if (item->getDisplayName() == name)
            return item;

    return nullptr;
}

int processorOf (const FirmwareItem& item)
{
    return SimulatedZarvik::findProcessor (item.getPortName().toStdString());
}

// The work of every slice without the pacing: port check, then the write.
void timeSliceWork (FirmwareItem& item)
{
    InProcessMidiPorts ports;
    InProcessZarvik zarvik (ports);
    MidiManager manager (ports);
    const auto& image = item.getImageData();
    PortFailure notOpen;
    const auto outputs = manager.acquireOutputs (item.getPortName(), notOpen);

    const auto start = juce::Time::getHighResolutionTicks();
    auto allSent = outputs.size() == 1;

    for (int i = 0; i < item.numChunks && allSent; ++i)
    {
        const auto slice = item.getSlice (i);
        allSent = outputs[0]->isPresent() && ! outputs[0]->send (slice.data, slice.size).failed();
    }

    const auto seconds = juce::Time::highResolutionTicksToSeconds (juce::Time::getHighResolutionTicks() - start);
    const auto images = zarvik.getUnit().getImages (processorOf (item));
    const bool intact = allSent && images.size() == 1 && images[0].valid;

    std::printf ("%-32s %6d slices without pacing: %8.2f us per slice, %7.1f MB/s, image %s\n",
                 item.getDisplayName().toRawUTF8(),
                 item.numChunks,
                 seconds * 1e6 / item.numChunks,
                 (double) image.getSize() / seconds / 1e6,
                 intact ? "intact" : "DAMAGED");
}

// A whole transfer paced by the sender's own pacing thread.
void timeTransfer (FirmwareItem& item, double bytesPerSecond, const char* link)
{
    InProcessMidiPorts ports;
    InProcessZarvik zarvik (ports, false);
    const auto processor = processorOf (item);
    zarvik.setByteRate (processor, bytesPerSecond);
    zarvik.plugIn();

    MidiManager manager (ports);
    FirmwareSysexSender sender (&item, &manager);
    Completion completion;
    sender.addListener (&completion);
    item.complete = false;

    const auto start = juce::Time::getMillisecondCounterHiRes();
    sender.startSending();

    while (completion.finalStatus.isEmpty())
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);

    const auto elapsedMs = juce::Time::getMillisecondCounterHiRes() - start;
    const auto arrivals = zarvik.getUnit().getBufferArrivalTimes (processor);
    std::vector<double> gapsMs;

    for (size_t i = 1; i < arrivals.size(); ++i)
        gapsMs.push_back ((arrivals[i] - arrivals[i - 1]) * 1000.0);

    const auto meanGap = gapsMs.empty() ? 0.0 : std::accumulate (gapsMs.begin(), gapsMs.end(), 0.0) / (double) gapsMs.size();
    const auto images = zarvik.getUnit().getImages (processor);
    const bool intact = images.size() == 1 && images[0].valid;

    std::printf ("%-32s %-22s %6d slices in %8.1f ms: %6.3f ms per slice; gap between buffers mean %6.3f, median %6.3f, p99 %6.3f, max %7.3f ms; %s, image %s\n",
                 item.getDisplayName().toRawUTF8(),
                 link,
                 item.numChunks,
                 elapsedMs,
                 elapsedMs / item.numChunks,
                 meanGap,
                 percentile (gapsMs, 0.5),
                 percentile (gapsMs, 0.99),
                 gapsMs.empty() ? 0.0 : *std::max_element (gapsMs.begin(), gapsMs.end()),
                 completion.finalStatus.toRawUTF8(),
                 intact ? "intact" : "DAMAGED");
}
}

int main()
{
    juce::ScopedJuceInitialiser_GUI juce;
    juce::OwnedArray<FirmwareItem> items;
    FirmwarePackage::createFirmwareItems (items);

    auto* control = findItem (items, "Control Firmware");
    auto* audio = findItem (items, "Audio Application Firmware");
    auto* assets = findItem (items, "Graphics Assets");

    if (control == nullptr || audio == nullptr || assets == nullptr)
    {
        std::fprintf (stderr, "the firmware package lacks an item\n");
        return 1;
    }

    std::printf ("Sender work per slice, in-process ports, unlimited byte rate\n");
    timeSliceWork (*control);
    timeSliceWork (*audio);
    timeSliceWork (*assets);

    std::printf ("\nPaced transfers (%d ms period)\n", audio->intervalMs);
    timeTransfer (*control, 0.0, "unlimited");
    timeTransfer (*audio, 0.0, "unlimited");
    timeTransfer (*control, 1.0e6, "USB, 1 MB/s");
    timeTransfer (*control, 125000.0, "USB, 125 kB/s");
    return 0;
}
