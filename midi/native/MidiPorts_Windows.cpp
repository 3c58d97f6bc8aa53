#include "WinMidi_Windows.h"
#include "midi/JuceInputPort.h"

namespace
{
/** Windows' MIDI ports through winmm. Outputs are written by our own code,
    each buffer as one long message (JUCE's output sends short buffers as
    short messages, which carry no bare SysEx data); inputs are JUCE's. */
class WinMidiPorts final : public MidiPortSystem
{
public:
    juce::Array<juce::MidiDeviceInfo> getInputs() override
    {
        // JUCE names a repeated device "name-2" and so on; the driver's own
        // names are kept, so that every device of a name is found by it.
        auto devices = juce::MidiInput::getAvailableDevices();
        const auto names = WinMidi::listInputNames (winmm);

        if (names.size() == devices.size())
            for (int i = 0; i < devices.size(); ++i)
                devices.getReference (i).name = names[i];

        return devices;
    }

    juce::Array<juce::MidiDeviceInfo> getOutputs() override { return WinMidi::listOutputs (winmm); }

    std::unique_ptr<MidiInputPort> openInput (const juce::String& identifier, MidiInputPortCallback* callback) override
    {
        if (callback == nullptr)
            return nullptr;

        for (const auto& device : getInputs())
            if (device.identifier == identifier)
                return JuceInputPort::open (identifier, *callback, device.name);

        return nullptr;
    }

    std::unique_ptr<MidiOutputPort> openOutput (const juce::String& identifier) override
    {
        return WinMidi::openOutput (winmm, identifier);
    }

private:
    const WinMidi::Functions& winmm = WinMidi::getSystemFunctions();
};
} // namespace

MidiPortSystem& MidiPortSystem::getSystemPorts()
{
    static WinMidiPorts ports;
    return ports;
}
