#include "AlsaSequencerUnit.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace
{
[[noreturn]] void fail (const std::string& what, int error)
{
    throw std::runtime_error ("Cannot " + what + " - " + snd_strerror (error));
}

// Large enough for the biggest SysEx event a host sends in one piece.
constexpr size_t inputBufferSize = 1 << 16;

// The kernel's upper bound for a client's input queue, in 28-byte cells.
constexpr size_t maxInputPoolCells = 2000;
}

/** One sequencer client with the unit's three ports; closing it removes them. */
struct AlsaSequencerUnit::Sequencer
{
    snd_seq_t* handle = nullptr;
    snd_midi_event_t* decoder = nullptr;
    std::array<int, SimulatedZarvik::numProcessors> ports {};
    int clientId = -1;

    /** Throws std::runtime_error when the client or its ports cannot be made. */
    static std::unique_ptr<Sequencer> open (const std::string& clientName)
    {
        auto sequencer = std::make_unique<Sequencer>();
        sequencer->create (clientName);
        return sequencer;
    }

    ~Sequencer()
    {
        if (decoder != nullptr)
            snd_midi_event_free (decoder);

        if (handle != nullptr)
            snd_seq_close (handle);
    }

private:
    void create (const std::string& clientName)
    {
        if (const auto err = snd_seq_open (&handle, "default", SND_SEQ_OPEN_DUPLEX, 0); err < 0)
            fail ("open the ALSA sequencer", err);

        snd_seq_nonblock (handle, 1);
        snd_seq_set_client_name (handle, clientName.c_str());
        snd_seq_set_input_buffer_size (handle, inputBufferSize);

        // A sender that does not wait for room (Wine's MIDI output is one) loses
        // whatever comes while the kernel's queue for this client is full. The
        // default queue holds about 18 slices, a few tens of milliseconds of
        // pauses in this reader; the largest allowed holds ten times as many.
        if (const auto err = snd_seq_set_client_pool_input (handle, maxInputPoolCells); err < 0)
            fail ("enlarge the sequencer's input queue", err);
        clientId = snd_seq_client_id (handle);

        for (int i = 0; i < SimulatedZarvik::numProcessors; ++i)
        {
            const auto port = snd_seq_create_simple_port (handle,
                                                          SimulatedZarvik::getPortName (i).c_str(),
                                                          SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                                              | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
            if (port < 0)
                fail ("create the port " + SimulatedZarvik::getPortName (i), port);

            ports[(size_t) i] = port;
        }

        if (const auto err = snd_midi_event_new (inputBufferSize, &decoder); err < 0)
            fail ("create a MIDI event decoder", err);

        snd_midi_event_no_status (decoder, 1);
    }
};

AlsaSequencerUnit::AlsaSequencerUnit (SimulatedZarvik& u, const std::string& name, bool fromWine)
    : unit (u), clientName (name), wine (fromWine ? std::make_unique<WineRewrapping>() : nullptr), sequencer (Sequencer::open (name))
{
    clientId = sequencer->clientId;

    if (pipe (wakePipe) != 0)
        throw std::runtime_error ("Cannot create a pipe");

    unit.setConnection (this);
    startReading();
}

AlsaSequencerUnit::~AlsaSequencerUnit()
{
    // First, as a restart under way on the unit's thread starts a new reader.
    unit.setConnection (nullptr);
    stopReading();
    close (wakePipe[0]);
    close (wakePipe[1]);
}

void AlsaSequencerUnit::startReading()
{
    quitting = false;
    lastFoundEmpty = std::chrono::steady_clock::now();
    thread = std::thread ([this]
                          { run(); });
}

void AlsaSequencerUnit::stopReading()
{
    quitting = true;
    char wake = 0;
    [[maybe_unused]] const auto written = write (wakePipe[1], &wake, 1);
    thread.join();

    // Taken back out, or the next reader would find the pipe always ready.
    [[maybe_unused]] const auto taken = read (wakePipe[0], &wake, 1);
}

void AlsaSequencerUnit::run()
{
    // The unit judges the gaps between buffers, so events are read as soon as
    // they come: ahead of ordinary programs where the system allows it.
    sched_param priority {};
    priority.sched_priority = sched_get_priority_min (SCHED_FIFO);
    pthread_setschedparam (pthread_self(), SCHED_FIFO, &priority);

    auto* seq = sequencer->handle;
    const auto count = snd_seq_poll_descriptors_count (seq, POLLIN);
    std::vector<pollfd> fds ((size_t) count + 1);
    snd_seq_poll_descriptors (seq, fds.data(), (unsigned int) count, POLLIN);
    fds.back() = { wakePipe[0], POLLIN, 0 };

    while (! quitting)
    {
        if (poll (fds.data(), fds.size(), -1) < 0)
            continue;

        // Drain everything that has arrived, so no event waits for the next
        // wake-up. An event read now arrived after the queue was last found
        // empty and before this read: the only bounds on its arrival that
        // hold however late this thread was scheduled.
        while (! quitting)
        {
            snd_seq_event_t* event = nullptr;
            // Taken before the read: an event that comes after the read has
            // found the queue empty arrives after this, however late this
            // thread runs again.
            const auto beforeRead = std::chrono::steady_clock::now();
            const auto result = snd_seq_event_input (seq, &event);

            if (result == -ENOSPC)
            {
                // The kernel dropped events: whatever image was under way is now corrupt.
                ++overruns;
                continue;
            }

            if (result < 0)
            {
                lastFoundEmpty = beforeRead;
                break;
            }

            if (event != nullptr)
                handleEvent (event);

            if (const auto p = stallProcessor.load(); p >= 0 && unit.getStatistics (p).bytesReceived >= stallAfterBytes)
            {
                // From now on only the wake-up pipe is watched.
                stalled = true;
                stallProcessor = -1;

                for (size_t i = 0; i + 1 < fds.size(); ++i)
                    fds[i].fd = -1;

                break;
            }
        }
    }
}

void AlsaSequencerUnit::stopReadingAfterBytes (int processor, uint64_t bytes)
{
    stallAfterBytes = bytes;
    stallProcessor = processor;
}

int AlsaSequencerUnit::processorForPort (int port) const
{
    for (int i = 0; i < SimulatedZarvik::numProcessors; ++i)
        if (sequencer->ports[(size_t) i] == port)
            return i;

    return -1;
}

void AlsaSequencerUnit::handleEvent (const void* e)
{
    const auto* event = static_cast<const snd_seq_event_t*> (e);
    const auto processor = processorForPort (event->dest.port);

    if (processor < 0 || ! plugged)
        return;

    const auto read = std::chrono::steady_clock::now();

    if (event->type == SND_SEQ_EVENT_SYSEX)
    {
        // Only a variable-length event carries its bytes with it; the pointer
        // of one with a user-space length is an address in its sender's memory.
        if (! snd_seq_ev_is_variable (event))
            return;

        const auto* bytes = static_cast<const uint8_t*> (event->data.ext.ptr);

        if (wine != nullptr)
        {
            const auto written = wine->undo (processor, bytes, event->data.ext.len);
            unit.receive (processor, written.data(), written.size(), lastFoundEmpty, read);
        }
        else
        {
            unit.receive (processor, bytes, event->data.ext.len, lastFoundEmpty, read);
        }

        return;
    }

    // Anything else a host sends is passed on as its MIDI bytes, so the unit
    // counts it as stray data; subscription notices and the like decode to nothing.
    uint8_t bytes[16];
    snd_midi_event_reset_decode (sequencer->decoder);
    const auto length = snd_midi_event_decode (sequencer->decoder, bytes, sizeof (bytes), event);

    if (length > 0)
        unit.receive (processor, bytes, (size_t) length, lastFoundEmpty, read);
}

void AlsaSequencerUnit::sendToHost (int processor, const std::vector<uint8_t>& message)
{
    if (! plugged || processor < 0 || processor >= SimulatedZarvik::numProcessors)
        return;

    snd_seq_event_t event;
    snd_seq_ev_clear (&event);
    snd_seq_ev_set_source (&event, sequencer->ports[(size_t) processor]);
    snd_seq_ev_set_subs (&event);
    snd_seq_ev_set_direct (&event);
    snd_seq_ev_set_sysex (&event, (unsigned int) message.size(), const_cast<uint8_t*> (message.data()));

    const std::lock_guard<std::mutex> l (outputLock);

    // Non-blocking mode: retry while the kernel's pool for this client is full.
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        if (snd_seq_event_output_direct (sequencer->handle, &event) != -EAGAIN)
            return;

        usleep (1000);
    }
}

void AlsaSequencerUnit::disconnect (int)
{
    // The unit is one USB device: when it goes, all three ports go with it.
    if (! plugged.exchange (false))
        return;

    {
        const std::lock_guard<std::mutex> l (outputLock);

        for (auto port : sequencer->ports)
            snd_seq_delete_simple_port (sequencer->handle, port);
    }

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        unit.abandonTransfer (p);
}

void AlsaSequencerUnit::reconnect()
{
    // The new client opens before the old one closes, so that it gets
    // another number, as a USB unit does when it is enumerated again.
    std::unique_ptr<Sequencer> fresh;

    try
    {
        fresh = Sequencer::open (clientName);
    }
    catch (const std::exception& e)
    {
        std::fprintf (stderr, "zarvik-sim: the unit cannot come back: %s\n", e.what());
        return;
    }

    stopReading();

    {
        const std::lock_guard<std::mutex> l (outputLock);
        std::swap (sequencer, fresh);
    }

    fresh.reset();
    clientId = sequencer->clientId;
    stalled = false;
    plugged = true;
    startReading();
}
