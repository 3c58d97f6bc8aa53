#pragma once

#include "../TestUtilities.h"
#include "midi/native/AlsaSequencer_Linux.h"

#include <alsa/asoundlib.h>
#include <juce_audio_devices/juce_audio_devices.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <vector>

/** Programs and devices at the other end of the system's MIDI ports, for the
    tests that run on the kernel's MIDI stack (in the virtual machine of tests/vm). */
namespace AlsaKernelHelpers
{
using Bytes = std::vector<juce::uint8>;

inline bool hasSequencer() { return juce::File ("/dev/snd/seq").exists(); }

/** Another program's sequencer client, in this process: one port that others
    may write to and read from. Keeps every SysEx event it receives as one
    buffer, read on its own thread, optionally pausing to read slowly. */
class PeerClient final
{
public:
    PeerClient (const char* portName, int pauseEveryEvents = 0, int pauseMs = 0)
        : pauseEvery (pauseEveryEvents), pauseFor (pauseMs)
    {
        if (snd_seq_open (&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) != 0)
            return;

        snd_seq_set_client_name (seq, portName);
        port = snd_seq_create_simple_port (seq, portName, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        reader = std::thread ([this]
                              { read(); });
    }

    ~PeerClient() { close(); }

    bool isOpen() const { return port >= 0; }

    /** The program exits: its client and port disappear. */
    void close()
    {
        stopReading = true;

        if (reader.joinable())
            reader.join();

        if (seq != nullptr)
            snd_seq_close (seq);

        seq = nullptr;
    }

    std::vector<Bytes> received() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return events;
    }

    size_t receivedCount() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return events.size();
    }

    bool overran() const { return overrun; }

    /** The program stays connected but reads nothing more. */
    void stall() { stalled = true; }

    /** Sends a SysEx event to the programs connected to our port. */
    void sendSysex (const Bytes& bytes)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        snd_seq_ev_set_source (&event, (unsigned char) port);
        snd_seq_ev_set_subs (&event);
        snd_seq_ev_set_direct (&event);
        snd_seq_ev_set_sysex (&event, (unsigned int) bytes.size(), const_cast<juce::uint8*> (bytes.data()));
        output (event);
    }

    /** Sends a SysEx event to the first program connected to our port once
        that program's input queue has room for it, as a well-behaved sender
        does, so that the kernel drops none of it. False once it has gone. */
    bool sendSysexWhenRoom (const Bytes& bytes)
    {
        snd_seq_query_subscribe_t* query = nullptr;
        snd_seq_query_subscribe_alloca (&query);
        const snd_seq_addr_t root { (unsigned char) snd_seq_client_id (seq), (unsigned char) port };
        snd_seq_query_subscribe_set_root (query, &root);
        snd_seq_query_subscribe_set_type (query, SND_SEQ_QUERY_SUBS_READ);
        snd_seq_query_subscribe_set_index (query, 0);

        pollfd descriptor {};
        snd_seq_poll_descriptors (seq, &descriptor, 1, POLLIN);
        const auto cellsNeeded = 1 + (int) ((bytes.size() + sizeof (snd_seq_event_t) - 1) / sizeof (snd_seq_event_t));

        for (;;)
        {
            int cells = 0, freeCells = 0;

            {
                const std::lock_guard<std::mutex> l (seqMutex);

                if (snd_seq_query_port_subscribers (seq, query) != 0
                    || ! AlsaMidi::queryInputQueue (descriptor.fd, snd_seq_query_subscribe_get_addr (query)->client, cells, freeCells))
                    return false;
            }

            if (freeCells >= cellsNeeded)
                break;

            std::this_thread::sleep_for (std::chrono::microseconds (100));
        }

        sendSysex (bytes);
        return true;
    }

    /** Sends, directly to `destination`, a SysEx event whose `size` bytes
        stay at `pointer` in the sender's memory (a user-space variable
        length): the kernel passes on the pointer, not the bytes. */
    void sendSysexByPointer (AlsaMidi::PortAddress destination, const void* pointer, unsigned int size)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        snd_seq_ev_set_source (&event, (unsigned char) port);
        snd_seq_ev_set_dest (&event, (unsigned char) destination.client, (unsigned char) destination.port);
        snd_seq_ev_set_direct (&event);
        snd_seq_ev_set_varusr (&event, size, const_cast<void*> (pointer));
        event.type = SND_SEQ_EVENT_SYSEX;
        output (event);
    }

    /** The first port of a client of that name that has all of `capabilities`,
        found as any program finds it: among every client's ports, whether
        they may be subscribed to or not. */
    std::optional<AlsaMidi::PortAddress> findPort (const juce::String& clientName, unsigned int capabilities)
    {
        snd_seq_client_info_t* clientInfo = nullptr;
        snd_seq_port_info_t* portInfo = nullptr;
        snd_seq_client_info_alloca (&clientInfo);
        snd_seq_port_info_alloca (&portInfo);
        snd_seq_client_info_set_client (clientInfo, -1);

        const std::lock_guard<std::mutex> l (seqMutex);

        while (snd_seq_query_next_client (seq, clientInfo) == 0)
        {
            if (juce::String::fromUTF8 (snd_seq_client_info_get_name (clientInfo)) != clientName)
                continue;

            snd_seq_port_info_set_client (portInfo, snd_seq_client_info_get_client (clientInfo));
            snd_seq_port_info_set_port (portInfo, -1);

            while (snd_seq_query_next_port (seq, portInfo) == 0)
                if ((snd_seq_port_info_get_capability (portInfo) & capabilities) == capabilities)
                    return AlsaMidi::PortAddress { snd_seq_port_info_get_client (portInfo), snd_seq_port_info_get_port (portInfo) };
        }

        return std::nullopt;
    }

    void sendNoteOn (int channel, int note, int velocity)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        snd_seq_ev_set_source (&event, (unsigned char) port);
        snd_seq_ev_set_subs (&event);
        snd_seq_ev_set_direct (&event);
        snd_seq_ev_set_noteon (&event, channel, note, velocity);
        output (event);
    }

private:
    void output (snd_seq_event_t& event)
    {
        const std::lock_guard<std::mutex> l (seqMutex);
        snd_seq_event_output_direct (seq, &event);
    }

    void read()
    {
        int sinceLastPause = 0;

        while (! stopReading)
        {
            if (stalled)
            {
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
                continue;
            }

            snd_seq_event_t* event = nullptr;
            int result;

            {
                const std::lock_guard<std::mutex> l (seqMutex);
                result = snd_seq_event_input (seq, &event);
            }

            if (result == -ENOSPC)
                overrun = true;

            if (result < 0 || event == nullptr)
            {
                std::this_thread::sleep_for (std::chrono::microseconds (200));
                continue;
            }

            if (event->type == SND_SEQ_EVENT_SYSEX && snd_seq_ev_is_variable (event))
            {
                const auto* data = static_cast<const juce::uint8*> (event->data.ext.ptr);
                const std::lock_guard<std::mutex> l (mutex);
                events.emplace_back (data, data + event->data.ext.len);
            }

            if (pauseEvery > 0 && ++sinceLastPause >= pauseEvery)
            {
                sinceLastPause = 0;
                std::this_thread::sleep_for (std::chrono::milliseconds (pauseFor));
            }
        }
    }

    snd_seq_t* seq = nullptr;
    int port = -1;
    const int pauseEvery, pauseFor;
    std::thread reader;
    std::atomic<bool> stopReading { false }, overrun { false }, stalled { false };
    std::mutex seqMutex;
    mutable std::mutex mutex;
    std::vector<Bytes> events;
};

/** Reads a raw MIDI input ("hw:C,D,S") on its own thread into one byte
    stream, with a buffer big enough that a whole image fits. */
class RawMidiReader final
{
public:
    explicit RawMidiReader (const juce::String& device)
    {
        if (snd_rawmidi_open (&input, nullptr, device.toRawUTF8(), SND_RAWMIDI_NONBLOCK) != 0)
        {
            input = nullptr;
            return;
        }

        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca (&params);
        snd_rawmidi_params_current (input, params);
        snd_rawmidi_params_set_buffer_size (input, params, 1024 * 1024);
        snd_rawmidi_params (input, params);

        reader = std::thread ([this]
                              { read(); });

        // A virtual raw MIDI card drops what arrives before the first read
        // of its input, so the reader is under way before anything is sent.
        while (! reading)
            std::this_thread::yield();
    }

    ~RawMidiReader()
    {
        stopReading = true;

        if (reader.joinable())
            reader.join();

        if (input != nullptr)
            snd_rawmidi_close (input);
    }

    bool isOpen() const { return input != nullptr; }

    Bytes received() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return bytes;
    }

    size_t receivedCount() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return bytes.size();
    }

    /** A moment before which the first `count` bytes had not all arrived:
        the start of the last read before the one that returned byte `count`
        that found the device's buffer emptied. */
    std::chrono::steady_clock::time_point notAllArrivedBefore (size_t count) const
    {
        const std::lock_guard<std::mutex> l (mutex);
        const auto read = std::find_if (reads.begin(), reads.end(), [count] (const auto& r)
                                        { return r.bytesSoFar >= count; });
        return read != reads.end() ? read->notBefore : std::chrono::steady_clock::time_point::max();
    }

    /** What was received, the input's buffer size and how often it overflowed. */
    juce::String describe() const
    {
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca (&params);
        snd_rawmidi_params_current (input, params);
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca (&status);
        snd_rawmidi_status (input, status);

        return juce::String (receivedCount()) + " bytes received, buffer of " + juce::String ((int) snd_rawmidi_params_get_buffer_size (params))
               + " bytes, " + juce::String ((int) snd_rawmidi_status_get_xruns (status)) + " overruns";
    }

private:
    void read()
    {
        juce::uint8 buffer[4096];

        // A read that returns less than it asked for has taken every byte
        // there was when it began, so what a later read returns arrived after that.
        auto allTakenAt = std::chrono::steady_clock::time_point::min();

        while (! stopReading)
        {
            const auto readAt = std::chrono::steady_clock::now();
            const auto n = snd_rawmidi_read (input, buffer, sizeof (buffer));
            reading = true;

            if (n > 0)
            {
                const std::lock_guard<std::mutex> l (mutex);
                bytes.insert (bytes.end(), buffer, buffer + n);
                reads.push_back ({ bytes.size(), allTakenAt });
            }

            if (n < (ssize_t) sizeof (buffer))
                allTakenAt = readAt;

            if (n <= 0)
                std::this_thread::sleep_for (std::chrono::microseconds (200));
        }
    }

    struct Read
    {
        size_t bytesSoFar;
        std::chrono::steady_clock::time_point notBefore;
    };

    snd_rawmidi_t* input = nullptr;
    std::thread reader;
    std::atomic<bool> stopReading { false }, reading { false };
    mutable std::mutex mutex;
    Bytes bytes;
    std::vector<Read> reads;
};

/**
    A USB MIDI device on a virtual USB bus: the kernel's dummy host
    controller with a MIDI gadget plugged into it. The host side is an
    snd-usb-audio card "Zarvik" with ports "Zarvik MIDI 1" to "Zarvik MIDI 3";
    what the host sends to cable N arrives at the gadget's raw MIDI input
    hw:<gadget card>,0,N. Needs root and the kernel's modules (the virtual machine has both).
*/
class UsbMidiGadget final
{
public:
    UsbMidiGadget()
    {
        if (std::system ("modprobe -a dummy_hcd libcomposite usb_f_midi snd-usb-audio 2>/dev/null") != 0)
            return;

        if (! juce::File (root).exists())
            std::system ("mount -t configfs none /sys/kernel/config 2>/dev/null");

        gadget = juce::File (root).getChildFile ("zarvik");
        const auto function = gadget.getChildFile ("functions/midi.usb0");
        const auto config = gadget.getChildFile ("configs/c.1");

        // configfs makes a gadget's "strings", "functions" and "configs" itself.
        for (auto* dir : { "", "strings/0x409", "functions/midi.usb0", "configs/c.1" })
            if (::mkdir (gadget.getChildFile (dir).getFullPathName().toRawUTF8(), 0755) != 0 && errno != EEXIST)
                return;

        write (gadget.getChildFile ("idVendor"), "0x1d6b");
        write (gadget.getChildFile ("idProduct"), "0x0104");
        write (gadget.getChildFile ("strings/0x409/product"), "Zarvik");
        write (function.getChildFile ("in_ports"), "3");
        write (function.getChildFile ("out_ports"), "3");
        write (function.getChildFile ("id"), "zgadget");

        if (symlink (function.getFullPathName().toRawUTF8(), config.getChildFile ("midi.usb0").getFullPathName().toRawUTF8()) != 0)
            return;

        const auto controllers = juce::File ("/sys/class/udc").findChildFiles (juce::File::findDirectories | juce::File::findFiles, false);

        if (controllers.isEmpty())
            return;

        plugged = write (gadget.getChildFile ("UDC"), controllers.getFirst().getFileName());
    }

    ~UsbMidiGadget()
    {
        unplug();
        ::unlink (gadget.getChildFile ("configs/c.1/midi.usb0").getFullPathName().toRawUTF8());

        for (auto* dir : { "configs/c.1", "functions/midi.usb0", "strings/0x409", "" })
            ::rmdir (gadget.getChildFile (dir).getFullPathName().toRawUTF8());
    }

    bool isPlugged() const { return plugged; }

    /** Disconnects the device from the bus, as pulling the cable would. */
    void unplug()
    {
        if (plugged)
            write (gadget.getChildFile ("UDC"), "\n");

        plugged = false;
    }

    /** The gadget's raw MIDI input for cable `cable` (0-based). */
    static juce::String gadgetInput (int cable) { return rawMidiDevice ("zgadget", cable); }

    /** The host's raw MIDI device for cable `cable`: what the sequencer port
        "Zarvik MIDI <cable + 1>" reaches. */
    static juce::String hostDevice (int cable) { return rawMidiDevice ("Zarvik", cable); }

    /** The host card's control device, through which programs learn which
        raw MIDI device each of the card's sequencer ports writes to. */
    static juce::File hostControlDevice() { return juce::File ("/dev/snd/controlC" + juce::String (cardIndex ("Zarvik"))); }

private:
    /** The kernel lists a new card's MIDI ports before it gives the card its
        name, so the card is looked up until it has one. */
    static int cardIndex (const char* card)
    {
        int index = -1;
        TestUtilities::runUntil ([&]
                                 { return (index = snd_card_get_index (card)) >= 0; });
        return index;
    }

    static juce::String rawMidiDevice (const char* card, int cable)
    {
        return "hw:" + juce::String (cardIndex (card)) + ",0," + juce::String (cable);
    }

    static bool write (const juce::File& file, const juce::String& text)
    {
        auto* stream = std::fopen (file.getFullPathName().toRawUTF8(), "w");

        if (stream == nullptr)
            return false;

        const auto ok = std::fputs (text.toRawUTF8(), stream) >= 0;
        return std::fclose (stream) == 0 && ok;
    }

    static constexpr const char* root = "/sys/kernel/config/usb_gadget";
    juce::File gadget;
    bool plugged = false;
};

/** Moves a file aside for as long as it exists, as a sandbox that lacks the
    file would. Needs the right to rename it (root has it in the virtual machine). */
class HiddenFile final
{
public:
    explicit HiddenFile (const juce::File& f)
        : file (f), aside (f.getFullPathName() + ".hidden")
    {
        hidden = std::rename (file.getFullPathName().toRawUTF8(), aside.toRawUTF8()) == 0;
    }

    ~HiddenFile()
    {
        if (hidden)
            std::rename (aside.toRawUTF8(), file.getFullPathName().toRawUTF8());
    }

    bool isHidden() const { return hidden; }

private:
    const juce::File file;
    const juce::String aside;
    bool hidden = false;
};
}
