// Times one listing of the system's MIDI outputs and inputs, as the
// controller's poll does it, beside JUCE's own listing, which opens and closes
// a sequencer client each time, and the check of one open output that a
// transfer makes before each slice instead. Run it on a machine with a
// sequencer, or inside the alsa-vm virtual machine:
//   alsa-vm --virmidi 1 -- build/zarvik-bench-port-listing

#include "midi/MidiPorts.h"

#include <algorithm>
#include <memory>
#include <cstdio>
#include <vector>

int main()
{
    constexpr int rounds = 5000;
    auto& ports = MidiPortSystem::getSystemPorts();
    const auto outputs = ports.getOutputs();

    std::printf ("%d outputs, %d inputs listed; /dev/snd/seq %s\n",
                 outputs.size(),
                 ports.getInputs().size(),
                 juce::File ("/dev/snd/seq").exists() ? "present" : "missing");

    enum class Lister
    {
        outputs,
        inputs,
        juceOutputs,
        onePort
    };

    std::unique_ptr<MidiOutputPort> opened;

    for (const auto& output : outputs)
    {
        try
        {
            if ((opened = ports.openOutput (output.identifier)) != nullptr)
                break;
        }
        catch (const std::exception&)
        {
        }
    }

    for (auto lister : { Lister::outputs, Lister::inputs, Lister::juceOutputs, Lister::onePort })
    {
        if (lister == Lister::onePort && opened == nullptr)
            continue;

        std::vector<double> micros;
        micros.reserve (rounds);

        for (int i = 0; i < rounds; ++i)
        {
            const auto start = juce::Time::getHighResolutionTicks();
            if (lister == Lister::onePort)
            {
                juce::ignoreUnused (opened->isPresent());
            }
            else
            {
                const auto listed = lister == Lister::outputs  ? ports.getOutputs()
                                    : lister == Lister::inputs ? ports.getInputs()
                                                               : juce::MidiOutput::getAvailableDevices();
                juce::ignoreUnused (listed);
            }

            micros.push_back (juce::Time::highResolutionTicksToSeconds (juce::Time::getHighResolutionTicks() - start) * 1.0e6);
        }

        std::sort (micros.begin(), micros.end());
        double total = 0;

        for (auto m : micros)
            total += m;

        std::printf ("%s: mean %.1f us, median %.1f us, p99 %.1f us, max %.1f us per call\n",
                     lister == Lister::outputs       ? "getOutputs                  "
                     : lister == Lister::inputs      ? "getInputs                   "
                     : lister == Lister::juceOutputs ? "juce::MidiOutput (for scale) "
                                                     : "isPresent of one open output",
                     total / rounds,
                     micros[rounds / 2],
                     micros[rounds * 99 / 100],
                     micros.back());
    }

    return 0;
}
