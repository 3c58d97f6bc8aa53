#include "WinMidi_Windows.h"

namespace
{
/** Windows' MIDI ports through winmm, read and written by our own code:
    each output buffer goes as one long message (JUCE's output sends short
    buffers as short messages, which carry no bare SysEx data), and inputs
    are assembled with a cap (JUCE's input holds an unfinished SysEx message
    however long it grows). */
class WinMidiPorts final : public MidiPortSystem
{
public:
    juce::Array<juce::MidiDeviceInfo> getInputs() override { return WinMidi::listInputs (winmm); }

    juce::Array<juce::MidiDeviceInfo> getOutputs() override { return WinMidi::listOutputs (winmm); }

    std::unique_ptr<MidiInputPort> openInput (const juce::String& identifier, MidiInputPortCallback* callback) override
    {
        if (callback == nullptr)
            return nullptr;

        return WinMidi::openInput (winmm, identifier, *callback);
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
