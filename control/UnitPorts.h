#pragma once

#include "midi/MidiManager.h"

#include <array>

/**
    The ports that the system lists under the unit's three names at one
    moment, by processor (0 control, 1 audio, 2 graphics). A single unit shows
    one input and one output under each name; more than one under any name
    means another unit, or something else using the names, is connected.
*/
struct UnitPorts
{
    static constexpr int numProcessors = 3;

    /** The processor whose port has that name, or -1. */
    static int processorOf (const juce::String& portName);

    /** Lists the system's inputs and outputs once each. */
    static UnitPorts list (const MidiManager& midiManager);

    /** Groups the given listings by the unit's port names; other ports are left out. */
    static UnitPorts fromListings (const juce::Array<juce::MidiDeviceInfo>& inputs, const juce::Array<juce::MidiDeviceInfo>& outputs);

    /** Whether an input of that name is listed. */
    bool listsInput (const juce::String& portName) const;

    /** Whether any of the names lists more than one input or more than one output. */
    bool listsSeveralUnits() const;

    /** Whether the processor's name lists exactly one input and one output. */
    bool isSingle (int processor) const;

    /** The processor's only input or output; meaningful when isSingle. */
    juce::MidiDeviceInfo input (int processor) const { return inputs[(size_t) processor].getFirst(); }
    juce::MidiDeviceInfo output (int processor) const { return outputs[(size_t) processor].getFirst(); }

    bool operator== (const UnitPorts& other) const { return inputs == other.inputs && outputs == other.outputs; }
    bool operator!= (const UnitPorts& other) const { return ! operator== (other); }

    std::array<juce::Array<juce::MidiDeviceInfo>, numProcessors> inputs, outputs;
};
