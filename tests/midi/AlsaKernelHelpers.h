#pragma once

#include "../TestUtilities.h"

#include <alsa/asoundlib.h>
#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <mutex>
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

            if (event->type == SND_SEQ_EVENT_SYSEX)
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

private:
    void read()
    {
        juce::uint8 buffer[4096];

        while (! stopReading)
        {
            const auto n = snd_rawmidi_read (input, buffer, sizeof (buffer));

            if (n > 0)
            {
                const std::lock_guard<std::mutex> l (mutex);
                bytes.insert (bytes.end(), buffer, buffer + n);
            }
            else
            {
                std::this_thread::sleep_for (std::chrono::microseconds (200));
            }
        }
    }

    snd_rawmidi_t* input = nullptr;
    std::thread reader;
    std::atomic<bool> stopReading { false };
    mutable std::mutex mutex;
    Bytes bytes;
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

private:
    /** The kernel lists a new card's MIDI ports before it gives the card its
        name, so the card is looked up until it has one. */
    static juce::String rawMidiDevice (const char* card, int cable)
    {
        int index = -1;
        TestUtilities::runUntil ([&]
                                 { return (index = snd_card_get_index (card)) >= 0; });
        return "hw:" + juce::String (index) + ",0," + juce::String (cable);
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
}
