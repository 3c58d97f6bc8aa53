#include "AlsaRawMidi_Linux.h"

namespace AlsaMidi
{
namespace
{
    struct ControlHandle
    {
        explicit ControlHandle (int card)
        {
            if (snd_ctl_open (&handle, ("hw:" + juce::String (card)).toRawUTF8(), 0) != 0)
                handle = nullptr;
        }

        ~ControlHandle()
        {
            if (handle != nullptr)
                snd_ctl_close (handle);
        }

        snd_ctl_t* handle = nullptr;
    };

    std::optional<juce::String> queryRawMidi (snd_ctl_t* control, int device, int subdevice, snd_rawmidi_stream_t stream, int& subdeviceCount, juce::String& deviceName)
    {
        snd_rawmidi_info_t* info = nullptr;
        snd_rawmidi_info_alloca (&info);
        snd_rawmidi_info_set_device (info, (unsigned int) device);
        snd_rawmidi_info_set_subdevice (info, (unsigned int) subdevice);
        snd_rawmidi_info_set_stream (info, stream);

        if (snd_ctl_rawmidi_info (control, info) != 0)
            return std::nullopt;

        subdeviceCount = (int) snd_rawmidi_info_get_subdevices_count (info);
        deviceName = juce::String::fromUTF8 (snd_rawmidi_info_get_name (info));
        return juce::String::fromUTF8 (snd_rawmidi_info_get_subdevice_name (info));
    }
}

// The kernel's bridge from the sequencer to raw MIDI devices (snd-seq-midi)
// serves snd-usb-audio MIDI interfaces and every other card with a raw MIDI
// device. It makes one kernel client per card and, for device D and
// subdevice S, a port numbered D * 32 + S that writes to that subdevice's
// output. The port is named after the output subdevice or, when that has no
// name, "<device name>-S" ("<device name>" when the device has a single
// subdevice), or failing that "MIDI C-D-S" ("MIDI C-D"). A USB interface
// with three cables on card 1 is thus client "<product>", ports 0, 1, 2 ->
// hw:1,0,0, hw:1,0,1, hw:1,0,2.
//
// snd-virmidi is not such a bridge: each virtual device has a client of its
// own ("Virtual Raw MIDI C-D") with one port "VirMIDI C-D", and what is sent
// to that port arrives at the device's raw MIDI input, read by the program
// that holds the device open. Writing to the device's output would send the
// bytes the other way, out of the port to its subscribers. Its name fails
// the check below ("Virtual Raw MIDI-0" is expected for hw:C,0,0), so it is
// reached through the sequencer like a program's port, as are the ports of
// synthesizers and other kernel clients that have a card.
juce::String findRawMidiOutput (const PortDetails& port)
{
    constexpr int portsPerDevice = 32;

    if (! port.kernelClient || port.card < 0)
        return {};

    const ControlHandle control (port.card);

    if (control.handle == nullptr)
        return {};

    const auto device = port.address.port / portsPerDevice;
    const auto subdevice = port.address.port % portsPerDevice;

    int outputCount = 0, inputCount = 0;
    juce::String deviceName, unused;
    const auto subdeviceName = queryRawMidi (control.handle, device, subdevice, SND_RAWMIDI_STREAM_OUTPUT, outputCount, deviceName);

    if (! subdeviceName.has_value())
        return {};

    queryRawMidi (control.handle, device, 0, SND_RAWMIDI_STREAM_INPUT, inputCount, unused);
    const auto portsOfDevice = juce::jmax (outputCount, inputCount);

    juce::String bridgeName;

    if (subdeviceName->isNotEmpty())
        bridgeName = *subdeviceName;
    else if (deviceName.isNotEmpty())
        bridgeName = portsOfDevice > 1 ? deviceName + "-" + juce::String (subdevice) : deviceName;
    else
        bridgeName = "MIDI " + juce::String (port.card) + "-" + juce::String (device) + (portsOfDevice > 1 ? "-" + juce::String (subdevice) : juce::String());

    // Sequencer port names hold at most 63 bytes.
    if (bridgeName.toStdString().substr (0, 63) != port.name.toStdString())
        return {};

    return "hw:" + juce::String (port.card) + "," + juce::String (device) + "," + juce::String (subdevice);
}

//==============================================================================
RawMidiOutput::RawMidiOutput (snd_rawmidi_t* h, size_t buffer)
    : handle (h), bufferSize (buffer)
{
}

RawMidiOutput::~RawMidiOutput()
{
    // Closing waits until the device has sent what is still buffered.
    snd_rawmidi_close (handle);
}

std::unique_ptr<RawMidiOutput> RawMidiOutput::open (const juce::String& deviceName)
{
    silenceLibraryErrors();

    snd_rawmidi_t* handle = nullptr;

    // Opened without blocking, since a blocking open waits for as long as
    // another program holds the device; writes block from then on.
    if (snd_rawmidi_open (nullptr, &handle, deviceName.toRawUTF8(), SND_RAWMIDI_NONBLOCK) != 0)
        return nullptr;

    if (snd_rawmidi_nonblock (handle, 0) != 0)
    {
        snd_rawmidi_close (handle);
        return nullptr;
    }

    // The kernel may otherwise send an Active Sensing byte when we close.
    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca (&params);
    size_t bufferSize = 0;

    if (snd_rawmidi_params_current (handle, params) == 0)
    {
        snd_rawmidi_params_set_no_active_sensing (handle, params, 1);
        snd_rawmidi_params (handle, params);
        bufferSize = snd_rawmidi_params_get_buffer_size (params);
    }

    if (bufferSize == 0)
    {
        snd_rawmidi_close (handle);
        return nullptr;
    }

    return std::unique_ptr<RawMidiOutput> (new RawMidiOutput (handle, bufferSize));
}

bool RawMidiOutput::write (const void* data, size_t size)
{
    auto* bytes = static_cast<const juce::uint8*> (data);

    // The kernel publishes a write's room in the output buffer before it has
    // copied the bytes in, and a driver that is still sending earlier bytes
    // (snd-usb-audio, from its transfer completions) may send that room's old
    // contents in their place. So each write goes to an idle device, at most
    // one buffer's worth at a time, and is drained before the next: the
    // driver starts only once the copy is done. Draining also tells when a
    // device stopped taking bytes: the kernel gives up, and discards them,
    // after ten seconds.
    while (size > 0)
    {
        const auto piece = juce::jmin (size, bufferSize);
        const auto written = snd_rawmidi_write (handle, bytes, piece);

        if (written == -EINTR || written == -EAGAIN)
            continue;

        if (written <= 0)
            return false;

        int drained;

        do
            drained = snd_rawmidi_drain (handle);
        while (drained == -EINTR);

        if (drained != 0)
            return false;

        bytes += written;
        size -= (size_t) written;
    }

    return true;
}
}
