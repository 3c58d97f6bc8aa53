#include "AlsaRawMidi_Linux.h"

#include <poll.h>
#include <stdexcept>
#include <thread>

namespace AlsaMidi
{
namespace
{
    [[noreturn]] void cannotIdentify (const juce::String& what, int error)
    {
        throw PortError ({ PortFailure::Kind::notOpen, "cannot open the unit's raw MIDI device: cannot " + what + ": " + snd_strerror (error) });
    }

    struct ControlHandle
    {
        explicit ControlHandle (int card)
        {
            if (const auto error = snd_ctl_open (&handle, ("hw:" + juce::String (card)).toRawUTF8(), 0); error != 0)
                cannotIdentify ("open the control device of card " + juce::String (card), error);
        }

        ~ControlHandle() { snd_ctl_close (handle); }

        snd_ctl_t* handle = nullptr;
    };

    struct RawMidiInfo
    {
        int subdeviceCount = 0;
        juce::String deviceName, subdeviceName;
    };

    // Nothing when the card has no such subdevice in that direction; throws
    // when the card cannot tell.
    std::optional<RawMidiInfo> queryRawMidi (const ControlHandle& control, int card, int device, int subdevice, snd_rawmidi_stream_t stream)
    {
        snd_rawmidi_info_t* info = nullptr;
        snd_rawmidi_info_alloca (&info);
        snd_rawmidi_info_set_device (info, (unsigned int) device);
        snd_rawmidi_info_set_subdevice (info, (unsigned int) subdevice);
        snd_rawmidi_info_set_stream (info, stream);

        // The kernel says ENXIO when there is no such device or subdevice,
        // ENOENT when the device has no subdevice in that direction, and
        // ENOTTY when it has no raw MIDI support loaded at all.
        const auto error = snd_ctl_rawmidi_info (control.handle, info);

        if (error == -ENXIO || error == -ENOENT || error == -ENOTTY)
            return std::nullopt;

        if (error != 0)
            cannotIdentify ("query raw MIDI device " + juce::String (device) + " of card " + juce::String (card), error);

        return RawMidiInfo { (int) snd_rawmidi_info_get_subdevices_count (info),
                             juce::String::fromUTF8 (snd_rawmidi_info_get_name (info)),
                             juce::String::fromUTF8 (snd_rawmidi_info_get_subdevice_name (info)) };
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
//
// A kernel client whose card cannot be asked (its control device is missing
// in a sandbox, or not ours to open) may well be the bridge, whose loss a
// transfer would never notice, so it is not guessed to be anything else.
juce::String findRawMidiOutput (const PortDetails& port)
{
    constexpr int portsPerDevice = 32;

    if (! port.kernelClient || port.card < 0)
        return {};

    const ControlHandle control (port.card);
    const auto device = port.address.port / portsPerDevice;
    const auto subdevice = port.address.port % portsPerDevice;
    const auto output = queryRawMidi (control, port.card, device, subdevice, SND_RAWMIDI_STREAM_OUTPUT);

    if (! output.has_value())
        return {};

    const auto input = queryRawMidi (control, port.card, device, 0, SND_RAWMIDI_STREAM_INPUT);
    const auto portsOfDevice = juce::jmax (output->subdeviceCount, input.has_value() ? input->subdeviceCount : 0);

    juce::String bridgeName;

    if (output->subdeviceName.isNotEmpty())
        bridgeName = output->subdeviceName;
    else if (output->deviceName.isNotEmpty())
        bridgeName = portsOfDevice > 1 ? output->deviceName + "-" + juce::String (subdevice) : output->deviceName;
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
    // Closing waits for the device to send what is still buffered, for up to
    // ten seconds; after a write that failed on a device that stopped taking
    // bytes, that would only hold up whoever closes it.
    snd_rawmidi_drop (handle);
    snd_rawmidi_close (handle);
}

std::unique_ptr<RawMidiOutput> RawMidiOutput::open (const juce::String& deviceName)
{
    silenceLibraryErrors();

    const auto cannotOpen = [&] (int error)
    {
        return PortError (error == -EBUSY ? PortFailure { PortFailure::Kind::heldByAnotherProgram, {} }
                                          : PortFailure { PortFailure::Kind::refused, "cannot open " + deviceName + ": " + snd_strerror (error) });
    };

    // Opened without blocking, since a blocking open waits for as long as
    // another program holds the device. Writes then wait in poll() with a
    // time limit.
    snd_rawmidi_t* handle = nullptr;

    if (const auto error = snd_rawmidi_open (nullptr, &handle, deviceName.toRawUTF8(), SND_RAWMIDI_NONBLOCK); error != 0)
        throw cannotOpen (error);

    // The kernel may otherwise send an Active Sensing byte when we close. The
    // output counts as writable (poll's POLLOUT) only once all but one byte of
    // its buffer are free again (alsa-lib allows no more), that is, once
    // nearly everything written has gone to the driver.
    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca (&params);
    size_t bufferSize = 0;

    if (snd_rawmidi_params_current (handle, params) == 0)
    {
        bufferSize = snd_rawmidi_params_get_buffer_size (params);
        snd_rawmidi_params_set_no_active_sensing (handle, params, 1);
        snd_rawmidi_params_set_avail_min (handle, params, bufferSize - 1);

        if (snd_rawmidi_params (handle, params) != 0)
            bufferSize = 0;
    }

    if (bufferSize == 0)
    {
        snd_rawmidi_close (handle);
        throw cannotOpen (-EINVAL);
    }

    return std::unique_ptr<RawMidiOutput> (new RawMidiOutput (handle, bufferSize));
}

int RawMidiOutput::waitUntilDrained (std::chrono::steady_clock::time_point deadline)
{
    pollfd descriptors[4] {};
    const auto count = snd_rawmidi_poll_descriptors (handle, descriptors, 4);
    snd_rawmidi_status_t* status = nullptr;
    snd_rawmidi_status_alloca (&status);

    for (;;)
    {
        if (const auto error = snd_rawmidi_status (handle, status); error != 0)
            return error;

        const auto avail = snd_rawmidi_status_get_avail (status);

        if (avail >= bufferSize)
            return 0;

        const auto left = std::chrono::duration_cast<std::chrono::microseconds> (deadline - std::chrono::steady_clock::now());

        if (left.count() < 0)
            return -ETIMEDOUT;

        // poll() wakes once all but the last byte have gone; that one is
        // waited for in short naps.
        if (avail + 1 >= bufferSize)
        {
            std::this_thread::sleep_for (std::chrono::microseconds (100));
            continue;
        }

        if (poll (descriptors, (nfds_t) count, (int) (left.count() / 1000) + 1) < 0 && errno != EINTR)
            return -errno;

        unsigned short events = 0;
        snd_rawmidi_poll_descriptors_revents (handle, descriptors, (unsigned int) count, &events);

        if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return -ENODEV;
    }
}

bool RawMidiOutput::isPresent() const
{
    // A card that has gone answers every call on its devices with ENODEV.
    snd_rawmidi_status_t* status = nullptr;
    snd_rawmidi_status_alloca (&status);
    return snd_rawmidi_status (handle, status) != -ENODEV;
}

PortFailure RawMidiOutput::write (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver)
{
    auto* bytes = static_cast<const juce::uint8*> (data);
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    const auto failed = [] (ssize_t error)
    {
        return error == -ENODEV ? PortFailure { PortFailure::Kind::unplugged, "the device has gone" }
                                : PortFailure { PortFailure::Kind::writeFailed, snd_strerror ((int) error) };
    };
    const auto failedWaiting = [&] (int error)
    {
        return error == -ETIMEDOUT ? PortFailure { PortFailure::Kind::timedOut, "the device took no bytes for " + juce::String (timeLimit.count()) + " ms" }
                                   : failed (error);
    };

    // The kernel publishes a write's room in the output buffer before it has
    // copied the bytes in, and a driver that is still sending earlier bytes
    // (snd-usb-audio, from its transfer completions) may send that room's old
    // contents in their place. So each write goes to an idle device, at most
    // one buffer's worth at a time, and is drained before the next: the
    // driver starts only once the copy is done. The wait for the buffer to
    // empty has the time limit; the drain that follows only lets the driver
    // finish the transfers it has in flight, which it bounds itself.
    while (size > 0)
    {
        const auto written = snd_rawmidi_write (handle, bytes, juce::jmin (size, bufferSize));

        if (written == -EINTR)
            continue;

        if (written == -EAGAIN)
        {
            if (const auto error = waitUntilDrained (deadline); error != 0)
                return failedWaiting (error);

            continue;
        }

        if (written <= 0)
            return failed (written);

        if (const auto error = waitUntilDrained (deadline); error != 0)
            return failedWaiting (error);

        int drained;

        do
            drained = snd_rawmidi_drain (handle);
        while (drained == -EINTR);

        if (drained != 0)
            return failed (drained);

        bytes += written;
        size -= (size_t) written;
    }

    // Stamped once the driver has sent the last byte on: the next buffer is
    // paced from the end of this one, however long the device took.
    if (handedOver != nullptr)
        *handedOver = std::chrono::steady_clock::now();

    return PortFailure::none();
}
}
