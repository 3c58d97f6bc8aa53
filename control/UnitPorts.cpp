#include "UnitPorts.h"
#include "VersionQuery.h"
#include "firmware/ZarvikUnit.h"

int UnitPorts::processorOf (const juce::String& portName)
{
    const auto processor = ZarvikUnit::processorOfPort (portName.toStdString());
    return processor.has_value() ? (int) *processor : -1;
}

UnitPorts UnitPorts::list (const MidiManager& midiManager)
{
    return fromListings (midiManager.getInputDevices(), midiManager.getOutputDevices());
}

UnitPorts UnitPorts::fromListings (const juce::Array<juce::MidiDeviceInfo>& inputs, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    UnitPorts ports;

    for (int processor = 0; processor < numProcessors; ++processor)
    {
        const auto name = VersionQuery::portNameForProcessor (processor);

        for (const auto& info : inputs)
            if (info.name == name)
                ports.inputs[(size_t) processor].add (info);

        for (const auto& info : outputs)
            if (info.name == name)
                ports.outputs[(size_t) processor].add (info);
    }

    return ports;
}

bool UnitPorts::listsInput (const juce::String& portName) const
{
    for (const auto& ofProcessor : inputs)
        for (const auto& info : ofProcessor)
            if (info.name == portName)
                return true;

    return false;
}

bool UnitPorts::listsSeveralUnits() const
{
    for (int processor = 0; processor < numProcessors; ++processor)
        if (inputs[(size_t) processor].size() > 1 || outputs[(size_t) processor].size() > 1)
            return true;

    return false;
}

bool UnitPorts::isSingle (int processor) const
{
    return inputs[(size_t) processor].size() == 1 && outputs[(size_t) processor].size() == 1;
}
