#include "AlsaRawMidi_Linux.h"
#include "AlsaSequencer_Linux.h"
#include "midi/MidiPorts.h"
#include "midi/SysexAssembler.h"

#include <stdexcept>
#include <thread>

namespace
{
using AlsaMidi::PortAddress;

//==============================================================================
/** An input from any sequencer port, read through a sequencer client of its
    own. What arrives is assembled here rather than by JUCE, whose assembly
    holds an unfinished SysEx message however long it grows: a device (or any
    program with a port of that name) that never ends one would fill memory. */
class AlsaInputPort final : public MidiInputPort, private AlsaMidi::SequencerReader::Receiver
{
public:
    AlsaInputPort (juce::MidiDeviceInfo port, std::unique_ptr<AlsaMidi::SequencerReader> sequencerReader, MidiInputPortCallback& cb)
        : info (std::move (port))
        , reader (std::move (sequencerReader))
        , callback (cb)
        , assembler ([this] (const uint8_t* data, size_t size)
                     { callback.handleIncomingMidiMessage (this, juce::MidiMessage (data, (int) size, juce::Time::getMillisecondCounterHiRes() * 0.001)); })
    {
    }

    ~AlsaInputPort() override { stop(); }

    juce::String getName() const override { return info.name; }
    juce::String getIdentifier() const override { return info.identifier; }

    void start() override { reader->start (*this); }

    // The reader's thread ends after the message it is delivering, if any.
    void stop() override { reader->stop(); }

private:
    void bytesReceived (const uint8_t* data, size_t size) override { assembler.push (data, size); }

    void eventsLost() override { assembler.reset(); }

    const juce::MidiDeviceInfo info;
    const std::unique_ptr<AlsaMidi::SequencerReader> reader;
    MidiInputPortCallback& callback;
    SysexAssembler assembler; // used on the reader's thread only

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AlsaInputPort)
};

//==============================================================================
/** An output to a port of a sound card's raw MIDI device, written directly. */
class RawMidiOutputPort final : public MidiOutputPort
{
public:
    RawMidiOutputPort (juce::String portName, std::unique_ptr<AlsaMidi::RawMidiOutput> rawOutput)
        : name (std::move (portName)), output (std::move (rawOutput))
    {
    }

    juce::String getName() const override { return name; }

    PortFailure send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver) override
    {
        return output->write (data, size, timeLimit, handedOver);
    }

    bool isPresent() const override { return output->isPresent(); }

private:
    const juce::String name;
    const std::unique_ptr<AlsaMidi::RawMidiOutput> output;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RawMidiOutputPort)
};

//==============================================================================
/** An output to any other port, through the sequencer: one SysEx event per
    buffer, sent from a sequencer client of the output's own, so that neither
    its writes nor its presence checks wait for the listings or other ports. */
class SequencerOutputPort final : public MidiOutputPort
{
public:
    SequencerOutputPort (std::unique_ptr<AlsaMidi::SequencerClient> ownClient, juce::String portName, PortAddress dest, int ourPort)
        : client (std::move (ownClient)), name (std::move (portName)), destination (dest), localPort (ourPort)
    {
    }

    ~SequencerOutputPort() override { client->deletePort (localPort); }

    juce::String getName() const override { return name; }

    bool isPresent() const override { return client->findPort (destination).has_value(); }

    PortFailure send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver) override
    {
        // Waits while the destination's queue is full, so that a program that
        // reads slowly holds the sender back instead of losing data, but not
        // past the time limit: one that stopped reading ends the transfer.
        const auto deadline = std::chrono::steady_clock::now() + timeLimit;

        for (;;)
        {
            const auto result = client->sendSysex (localPort, destination, data, size, handedOver);

            if (result == 0)
                return PortFailure::none();

            if (result == -ENOENT)
                return { PortFailure::Kind::unplugged, "the receiving port has gone" };

            if (result != -EBUSY)
                return { PortFailure::Kind::writeFailed, snd_strerror (result) };

            if (std::chrono::steady_clock::now() >= deadline)
                return { PortFailure::Kind::timedOut, "the receiving program read nothing for " + juce::String (timeLimit.count()) + " ms" };

            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        }
    }

private:
    const std::unique_ptr<AlsaMidi::SequencerClient> client;
    const juce::String name;
    const PortAddress destination;
    const int localPort;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SequencerOutputPort)
};

//==============================================================================
class AlsaMidiPorts final : public MidiPortSystem
{
public:
    AlsaMidiPorts()
        : client (ZARVIK_PRODUCT_NAME)
    {
    }

    juce::Array<juce::MidiDeviceInfo> getInputs() override { return client.listPorts (true); }

    juce::Array<juce::MidiDeviceInfo> getOutputs() override { return client.listPorts (false); }

    std::unique_ptr<MidiInputPort> openInput (const juce::String& identifier, MidiInputPortCallback* callback) override
    {
        const auto address = AlsaMidi::fromIdentifier (identifier);

        if (callback == nullptr || ! address.has_value())
            return nullptr;

        const auto port = client.findPort (*address);

        if (! port.has_value() || (port->capabilities & SND_SEQ_PORT_CAP_SUBS_READ) == 0)
            return nullptr;

        auto reader = AlsaMidi::SequencerReader::open (ZARVIK_PRODUCT_NAME, *address);

        if (reader == nullptr)
            return nullptr;

        return std::make_unique<AlsaInputPort> (juce::MidiDeviceInfo (port->name, identifier), std::move (reader), *callback);
    }

    std::unique_ptr<MidiOutputPort> openOutput (const juce::String& identifier) override
    {
        const auto address = AlsaMidi::fromIdentifier (identifier);

        if (! address.has_value())
            return nullptr;

        const auto port = client.findPort (*address);

        if (! port.has_value() || (port->capabilities & SND_SEQ_PORT_CAP_SUBS_WRITE) == 0)
            return nullptr;

        // A port that writes to a raw MIDI device is written directly: the
        // kernel's own bridge drops a whole event, silently, when the
        // device's output buffer is full, and a unit busy writing its flash
        // fills it. A busy device (held by another program), or one whose
        // card cannot tell whether the port is that bridge, is not opened,
        // rather than risk that loss.
        const auto rawDevice = AlsaMidi::findRawMidiOutput (*port);

        if (rawDevice.isNotEmpty())
            return std::make_unique<RawMidiOutputPort> (port->name, AlsaMidi::RawMidiOutput::open (rawDevice));

        // Kernel clients only pass events on while someone is connected to
        // them, so the port is connected as well as addressed directly.
        auto ownClient = std::make_unique<AlsaMidi::SequencerClient> (ZARVIK_PRODUCT_NAME);
        const auto localPort = ownClient->connectTo (*address);

        if (localPort < 0)
            throw PortError ({ PortFailure::Kind::refused, "the sequencer refused a connection to it" });

        return std::make_unique<SequencerOutputPort> (std::move (ownClient), port->name, *address, localPort);
    }

private:
    AlsaMidi::SequencerClient client;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AlsaMidiPorts)
};
}

MidiPortSystem& MidiPortSystem::getSystemPorts()
{
    static AlsaMidiPorts ports;
    return ports;
}
