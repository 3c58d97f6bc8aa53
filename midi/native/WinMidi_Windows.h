#pragma once

#include "midi/MidiPorts.h"

// <windows.h> first: the others build on it.
#include <windows.h>

#include <mmsystem.h>

/**
    The classic Windows MIDI API (winmm), reached through a table of its
    functions so that tests can put a driver of their own behind it.
*/
namespace WinMidi
{
struct Functions
{
    UINT (WINAPI* outGetNumDevs)
    ();
    MMRESULT (WINAPI* outGetDevCaps)
    (UINT_PTR, LPMIDIOUTCAPSW, UINT);
    MMRESULT (WINAPI* outMessage)
    (HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR);
    MMRESULT (WINAPI* outOpen)
    (LPHMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD);
    MMRESULT (WINAPI* outClose)
    (HMIDIOUT);
    MMRESULT (WINAPI* outPrepareHeader)
    (HMIDIOUT, LPMIDIHDR, UINT);
    MMRESULT (WINAPI* outUnprepareHeader)
    (HMIDIOUT, LPMIDIHDR, UINT);
    MMRESULT (WINAPI* outLongMsg)
    (HMIDIOUT, LPMIDIHDR, UINT);
    MMRESULT (WINAPI* outReset)
    (HMIDIOUT);
    MMRESULT (WINAPI* outGetErrorText)
    (MMRESULT, LPWSTR, UINT);
    UINT (WINAPI* inGetNumDevs)
    ();
    MMRESULT (WINAPI* inGetDevCaps)
    (UINT_PTR, LPMIDIINCAPSW, UINT);
    MMRESULT (WINAPI* inMessage)
    (HMIDIIN, UINT, DWORD_PTR, DWORD_PTR);
    MMRESULT (WINAPI* inOpen)
    (LPHMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD);
    MMRESULT (WINAPI* inClose)
    (HMIDIIN);
    MMRESULT (WINAPI* inStart)
    (HMIDIIN);
    MMRESULT (WINAPI* inStop)
    (HMIDIIN);
    MMRESULT (WINAPI* inReset)
    (HMIDIIN);
    MMRESULT (WINAPI* inPrepareHeader)
    (HMIDIIN, LPMIDIHDR, UINT);
    MMRESULT (WINAPI* inUnprepareHeader)
    (HMIDIIN, LPMIDIHDR, UINT);
    MMRESULT (WINAPI* inAddBuffer)
    (HMIDIIN, LPMIDIHDR, UINT);
};

/** winmm's own functions. */
const Functions& getSystemFunctions();

/** The outputs that the driver lists now, in its order. Each name is the
    device's own; each identifier is unique among them and stays the
    device's while it is plugged in: its driver interface, or its name,
    with "-2", "-3" and so on added to repeats. */
juce::Array<juce::MidiDeviceInfo> listOutputs (const Functions& winmm);

/** The inputs that the driver lists now, in its order, named and identified
    by the same rules as the outputs. */
juce::Array<juce::MidiDeviceInfo> listInputs (const Functions& winmm);

/**
    Opens the listed output of that identifier; null when none is listed.
    Throws a std::exception saying why when the driver refuses it (another
    program holds it, say), or when the device it opened is not the one
    listed (the system's devices changed in between).

    Every buffer goes out whole as one long message (midiOutLongMsg, never a
    short message, whatever its length and first byte), and send returns
    once the driver has marked it done, or fails, saying why.
*/
std::unique_ptr<MidiOutputPort> openOutput (const Functions& winmm, const juce::String& identifier);

/**
    Opens the listed input of that identifier, stopped; null when none is
    listed. Throws a std::exception saying why when the driver refuses it,
    or when the device it opened is not the one listed.

    The driver fills SysEx buffers of ours; what arrives is assembled here
    (SysexAssembler), so that a SysEx message without end holds no more
    than the assembler's cap. Complete messages reach `callback` on a
    thread of the port's own while the port is started.
*/
std::unique_ptr<MidiInputPort> openInput (const Functions& winmm, const juce::String& identifier, MidiInputPortCallback& callback);
} // namespace WinMidi
