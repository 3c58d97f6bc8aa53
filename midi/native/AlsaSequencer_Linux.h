#pragma once

#include <alsa/asoundlib.h>
#include <chrono>
#include <juce_audio_devices/juce_audio_devices.h>
#include <mutex>
#include <optional>
#include <thread>

namespace AlsaMidi
{
/** Stops alsa-lib from printing its errors to stderr. Nothing in this program
    logs, and without a sequencer every listing would print a line. Installs
    the handler on the first call; any thread. */
void silenceLibraryErrors();

/** A sequencer port: client and port number. */
struct PortAddress
{
    int client = -1;
    int port = -1;
};

/** "client-port", the identifier JUCE gives a sequencer port. */
juce::String toIdentifier (PortAddress address);
std::optional<PortAddress> fromIdentifier (const juce::String& identifier);

/** What the sequencer tells about one port and its client. */
struct PortDetails
{
    PortAddress address;
    juce::String name;
    unsigned int capabilities = 0;
    int card = -1; // the client's sound card; -1 for programs
    bool kernelClient = false;
};

/** Asks the kernel how many cells the input queue of a program's client holds
    and how many of them are free; false when the client has gone. */
bool queryInputQueue (int sequencerFd, int client, int& queueCells, int& freeCells);

/**
    This program's own sequencer client, used to list ports and to send events
    to ports of other programs.

    The handle is opened on first use, and again on later calls for as long as
    there is no sequencer. One lock serialises the calls into alsa-lib and is
    held only for the kernel call itself, so every function may be called from
    any thread and a listing never waits for a transfer.
*/
class SequencerClient final
{
public:
    explicit SequencerClient (juce::String clientName);
    ~SequencerClient();

    /** The ports that others may subscribe to for reading (inputs) or for
        writing (outputs), in the sequencer's order, named as JUCE names them. */
    juce::Array<juce::MidiDeviceInfo> listPorts (bool inputs);

    /** The port at that address, if it exists now. */
    std::optional<PortDetails> findPort (PortAddress address);

    /** Creates a port of ours, which no other program can subscribe to, and
        connects it to `destination`; returns its number, or -1. */
    int connectTo (PortAddress destination);

    /** Deletes a port made by connectTo, and with it its connection. */
    void deletePort (int localPort);

    /** Hands `size` bytes, unchanged, to the sequencer as one SysEx event from
        `localPort` addressed to `destination` and delivered at once, if the
        destination's queue has room for it. Returns 0 once sent; -EBUSY, having
        sent nothing, while there is no room; -EMSGSIZE when the queue could
        never hold it; otherwise the kernel's negative error code, -ENOENT once
        the destination has gone. Sets `handedOver`, if given, to the moment
        after the kernel has delivered the event. */
    int sendSysex (int localPort, PortAddress destination, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver = nullptr);

private:
    snd_seq_t* getHandle();

    const juce::String clientName;
    std::mutex lock;
    snd_seq_t* handle = nullptr;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SequencerClient)
};

//==============================================================================
/**
    A sequencer client of this program's own that reads what one port of
    another client sends, as MIDI bytes, on a thread of its own. Its port
    offers no subscription, so it appears in nobody's list of ports.

    Events that arrive before start() wait in the kernel's queue for this
    client; when that queue overflows the kernel drops what it holds, and the
    receiver is told of the gap.
*/
class SequencerReader final
{
public:
    /** Called on the reader's thread. */
    class Receiver
    {
    public:
        virtual ~Receiver() = default;

        /** The bytes of one event, valid during the call only. */
        virtual void bytesReceived (const uint8_t* data, size_t size) = 0;

        /** Events were lost here: the stream has a gap. */
        virtual void eventsLost() = 0;
    };

    /** Connects a new client of ours, named `clientName`, to `source`; null
        when there is no sequencer or the port cannot be read. */
    static std::unique_ptr<SequencerReader> open (const juce::String& clientName, PortAddress source);

    /** Stops, then closes the client. */
    ~SequencerReader();

    /** Starts reading into `receiver`, unless it reads already. */
    void start (Receiver& receiver);

    /** Stops reading and waits for a receiver call that is under way; events
        that arrive later wait in the kernel. Never called from the receiver. */
    void stop();

private:
    explicit SequencerReader (snd_seq_t* handle);
    void run (Receiver& receiver);
    void readEvents (Receiver& receiver);

    snd_seq_t* const handle;
    snd_midi_event_t* decoder = nullptr;
    int wakeFd = -1; // written by stop() to end the thread's wait at once
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SequencerReader)
};
}
