#pragma once

#include <array>
#include <juce_audio_basics/juce_audio_basics.h>

/**
    The identity request that asks a processor for its firmware version, and
    the reading of the reply. A processor index is a ZarvikUnit::Processor as
    an int: 0 control ("Zarvik Control", reply code 0x00), 1 audio ("Zarvik
    Audio", 0x10), 2 graphics ("Zarvik Graphics", 0x20). Pure functions,
    callable from any thread.
*/
namespace VersionQuery
{
/** F0 7E 7F 06 01 F7, the same for every processor: the port selects it. */
juce::MidiMessage createIdentityRequest();

/** Whether a SysEx body (the bytes between F0 and F7) is a version reply. */
bool isVersionReply (juce::Array<juce::uint8> body);

/** The version text of a reply body, or an empty string if it is no version reply. */
juce::String versionFromReply (juce::Array<juce::uint8> body);

/** A rehearsal unit (the simulated one) writes this ASCII text into body
    bytes 21 to 34 of its reply, which the version rule leaves unread; a real
    unit's reply never carries it. */
constexpr int rehearsalMarkerOffset = 21;
constexpr char rehearsalMarker[] = "REHEARSAL UNIT";

/** Whether a SysEx body is a version reply that carries the rehearsal marker. */
bool isRehearsalReply (const juce::Array<juce::uint8>& body);

/** The processor index for a reply's processor code (body byte 14), or -1. */
int processorForCode (int processorCode);

/** The processor index named by a version reply's processor code, or -1
        when the body is no version reply or names no processor. */
int processorOfReply (const juce::Array<juce::uint8>& body);

/** The port of a processor index, or an empty string for an unknown index. */
juce::String portNameForProcessor (int processor);

/** The versions of the firmware this updater carries, by processor index. */
std::array<juce::String, 3> carriedVersions();
}
