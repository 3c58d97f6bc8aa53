#pragma once

#include "PortFailure.h"

#include <chrono>
#include <juce_audio_devices/juce_audio_devices.h>
#include <memory>

/**
    The seam between the MIDI manager and the operating system: MIDI ports
    listed, opened and used by name and identifier. The system's ports sit
    behind it (one implementation file per operating system in native/), and
    so do the in-process ports that tests and the simulated unit use.
*/

class MidiInputPort;

/** Receives the complete messages that arrive on an open input port.

    N.B. called on the port's own input thread, never on the message thread.
*/
class MidiInputPortCallback
{
public:
    virtual ~MidiInputPortCallback() = default;

    virtual void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message) = 0;
};

/** An open MIDI input. Deleting it closes it; once stop() or the destructor has
    returned, its callback is not called any more. */
class MidiInputPort
{
public:
    virtual ~MidiInputPort() = default;

    virtual juce::String getName() const = 0;

    /** The identifier the system listed it under (MidiPortSystem::getInputs). */
    virtual juce::String getIdentifier() const = 0;

    /** Begins delivering messages to the callback given when the port was opened. */
    virtual void start() = 0;

    /** Stops delivering messages; waits for a callback that is running to return. */
    virtual void stop() = 0;
};

/** An open MIDI output. Deleting it closes it, without waiting for bytes that
    a failed send left behind. */
class MidiOutputPort
{
public:
    /** How long a send may wait for the port to take its bytes. A receiver that
        stays connected but stops reading must not hold a transfer for ever. */
    static constexpr std::chrono::milliseconds stallLimit { 2000 };

    virtual ~MidiOutputPort() = default;

    virtual juce::String getName() const = 0;

    /** Hands `size` bytes to the system as one buffer, verbatim: nothing is
        parsed, re-framed, dropped or added, whatever the first byte is.
        Blocks until the system has taken every byte, or until `timeLimit` has
        passed with bytes still not taken. Returns why, when they could not all
        be delivered: the device has gone, a write failed, or the time limit
        passed. Called on one thread at a time.

        `handedOver`, when given, is set to a moment no earlier than the one
        at which the system began to take the buffer: a paced sender counts
        its interval from there, not from before whatever preparation came
        first. Where the system delivers the whole buffer within the call, it
        is the moment after the call, so that a thread held up during it
        cannot bring the next buffer closer to this one. */
    virtual PortFailure send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver = nullptr) = 0;

    /** Whether the system still has this port. Asks about this one port: the
        cost does not grow with the system's ports, and no lock is taken that
        another port's writes or a listing needs. Any thread, also while a
        send is under way on another. */
    virtual bool isPresent() const = 0;
};

/** A set of MIDI ports: the system's, or an in-process set. */
class MidiPortSystem
{
public:
    virtual ~MidiPortSystem() = default;

    /** The inputs present now, in the system's order. Safe to call from any thread. */
    virtual juce::Array<juce::MidiDeviceInfo> getInputs() = 0;

    /** The outputs present now, in the system's order. Safe to call from any thread. */
    virtual juce::Array<juce::MidiDeviceInfo> getOutputs() = 0;

    /** Opens an input by its identifier; null when it cannot be opened. May throw
        a std::exception. The port starts stopped. */
    virtual std::unique_ptr<MidiInputPort> openInput (const juce::String& identifier, MidiInputPortCallback* callback) = 0;

    /** Opens an output by its identifier; null when it cannot be opened. May
        throw a PortError that says why (another program holds it, say), or
        another std::exception. */
    virtual std::unique_ptr<MidiOutputPort> openOutput (const juce::String& identifier) = 0;

    /** The operating system's MIDI ports; one shared instance for the whole program. */
    static MidiPortSystem& getSystemPorts();
};
