#include "AlsaSequencer_Linux.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace AlsaMidi
{
namespace
{
    void ignoreLibraryError (const char*, int, const char*, int, const char*, ...) {}

    // Every event but SysEx decodes to one message of at most three bytes.
    constexpr long decodeBufferSize = 16;
}

void silenceLibraryErrors()
{
    static std::once_flag installed;
    std::call_once (installed, []
                    { snd_lib_error_set_handler (ignoreLibraryError); });
}

juce::String toIdentifier (PortAddress address)
{
    return juce::String (address.client) + "-" + juce::String (address.port);
}

std::optional<PortAddress> fromIdentifier (const juce::String& identifier)
{
    const auto clientText = identifier.upToFirstOccurrenceOf ("-", false, false);
    const auto portText = identifier.fromFirstOccurrenceOf ("-", false, false);

    const auto isNumber = [] (const juce::String& text)
    { return text.isNotEmpty() && text.length() <= 3 && text.containsOnly ("0123456789"); };

    if (! isNumber (clientText) || ! isNumber (portText))
        return std::nullopt;

    return PortAddress { clientText.getIntValue(), portText.getIntValue() };
}

//==============================================================================
SequencerClient::SequencerClient (juce::String name)
    : clientName (std::move (name))
{
    silenceLibraryErrors();
}

SequencerClient::~SequencerClient()
{
    if (handle != nullptr)
        snd_seq_close (handle);
}

snd_seq_t* SequencerClient::getHandle()
{
    // Output only: this client never reads events, so it needs no input queue.
    if (handle == nullptr && snd_seq_open (&handle, "default", SND_SEQ_OPEN_OUTPUT, 0) == 0)
        snd_seq_set_client_name (handle, clientName.toRawUTF8());

    return handle;
}

juce::Array<juce::MidiDeviceInfo> SequencerClient::listPorts (bool inputs)
{
    juce::Array<juce::MidiDeviceInfo> ports;
    const auto wanted = (unsigned int) (inputs ? SND_SEQ_PORT_CAP_SUBS_READ : SND_SEQ_PORT_CAP_SUBS_WRITE);

    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_alloca (&clientInfo);
    snd_seq_port_info_alloca (&portInfo);

    const std::lock_guard<std::mutex> guard (lock);
    auto* seq = getHandle();

    if (seq == nullptr)
        return ports;

    // Starting after client 0 leaves out the system's timer and announcement
    // ports, as JUCE does.
    snd_seq_client_info_set_client (clientInfo, 0);

    while (snd_seq_query_next_client (seq, clientInfo) == 0)
    {
        const auto client = snd_seq_client_info_get_client (clientInfo);
        snd_seq_port_info_set_client (portInfo, client);
        snd_seq_port_info_set_port (portInfo, -1);

        while (snd_seq_query_next_port (seq, portInfo) == 0)
        {
            if ((snd_seq_port_info_get_capability (portInfo) & wanted) != 0)
                ports.add ({ juce::String::fromUTF8 (snd_seq_port_info_get_name (portInfo)),
                             toIdentifier ({ client, snd_seq_port_info_get_port (portInfo) }) });
        }
    }

    return ports;
}

std::optional<PortDetails> SequencerClient::findPort (PortAddress address)
{
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_alloca (&clientInfo);
    snd_seq_port_info_alloca (&portInfo);

    const std::lock_guard<std::mutex> guard (lock);
    auto* seq = getHandle();

    if (seq == nullptr
        || snd_seq_get_any_client_info (seq, address.client, clientInfo) != 0
        || snd_seq_get_any_port_info (seq, address.client, address.port, portInfo) != 0)
        return std::nullopt;

    PortDetails details;
    details.address = address;
    details.name = juce::String::fromUTF8 (snd_seq_port_info_get_name (portInfo));
    details.capabilities = snd_seq_port_info_get_capability (portInfo);
    details.card = snd_seq_client_info_get_card (clientInfo);
    details.kernelClient = snd_seq_client_info_get_type (clientInfo) == SND_SEQ_KERNEL_CLIENT;
    return details;
}

int SequencerClient::connectTo (PortAddress destination)
{
    const std::lock_guard<std::mutex> guard (lock);
    auto* seq = getHandle();

    if (seq == nullptr)
        return -1;

    // Without subscription rights no other program can connect to it, so it
    // appears in nobody's list of MIDI ports, ours included.
    const auto localPort = snd_seq_create_simple_port (seq,
                                                       clientName.toRawUTF8(),
                                                       SND_SEQ_PORT_CAP_READ,
                                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (localPort < 0)
        return -1;

    if (snd_seq_connect_to (seq, localPort, destination.client, destination.port) != 0)
    {
        snd_seq_delete_simple_port (seq, localPort);
        return -1;
    }

    return localPort;
}

void SequencerClient::deletePort (int localPort)
{
    const std::lock_guard<std::mutex> guard (lock);

    if (handle != nullptr)
        snd_seq_delete_simple_port (handle, localPort);
}

int SequencerClient::sendSysex (int localPort, PortAddress destination, const void* data, size_t size, std::chrono::steady_clock::time_point* handedOver)
{
    snd_seq_event_t event;
    snd_seq_ev_clear (&event);
    snd_seq_ev_set_source (&event, (unsigned char) localPort);
    snd_seq_ev_set_dest (&event, (unsigned char) destination.client, (unsigned char) destination.port);
    snd_seq_ev_set_direct (&event);
    snd_seq_ev_set_sysex (&event, (unsigned int) size, const_cast<void*> (data));

    const std::lock_guard<std::mutex> guard (lock);

    if (handle == nullptr)
        return -ENODEV;

    // The kernel never waits for room in a program's input queue: it refuses
    // the event, and the program then finds its queue emptied at its next
    // read, losing every event still in it. So an event is only sent once the
    // queue can take it whole: a header cell plus the data, one event's size
    // per cell. Kernel clients have no such queue and take events as they come.
    const auto cellsNeeded = 1 + (int) ((size + sizeof (snd_seq_event_t) - 1) / sizeof (snd_seq_event_t));
    int queueCells = 0, freeCells = 0;
    pollfd descriptor {};

    if (snd_seq_poll_descriptors (handle, &descriptor, 1, POLLOUT) != 1
        || ! queryInputQueue (descriptor.fd, destination.client, queueCells, freeCells))
        return -ENOENT;

    if (queueCells > 0 && cellsNeeded > queueCells)
        return -EMSGSIZE;

    if (queueCells > 0 && cellsNeeded > freeCells)
        return -EBUSY;

    const auto result = snd_seq_event_output_direct (handle, &event);

    // Stamped once the kernel has put the event into the destination's queue,
    // which it does within the call: a thread preempted before or during the
    // call would otherwise let the next slice arrive less than an interval
    // after this one.
    if (handedOver != nullptr)
        *handedOver = std::chrono::steady_clock::now();

    return result < 0 ? result : 0;
}

//==============================================================================

std::unique_ptr<SequencerReader> SequencerReader::open (const juce::String& clientName, PortAddress source)
{
    silenceLibraryErrors();
    snd_seq_t* seq = nullptr;

    if (snd_seq_open (&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) != 0)
        return nullptr;

    std::unique_ptr<SequencerReader> reader (new SequencerReader (seq));
    snd_seq_set_client_name (seq, clientName.toRawUTF8());

    // Writable for the connection made here; without subscription rights no
    // other program can connect to it, nor list it.
    const auto port = snd_seq_create_simple_port (seq,
                                                  clientName.toRawUTF8(),
                                                  SND_SEQ_PORT_CAP_WRITE,
                                                  SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);

    if (port < 0
        || snd_seq_connect_from (seq, port, source.client, source.port) != 0
        || snd_midi_event_new (decodeBufferSize, &reader->decoder) != 0
        || (reader->wakeFd = eventfd (0, EFD_CLOEXEC)) < 0)
        return nullptr;

    // Each event is decoded whole, status byte included.
    snd_midi_event_no_status (reader->decoder, 1);
    return reader;
}

SequencerReader::SequencerReader (snd_seq_t* seq)
    : handle (seq)
{
}

SequencerReader::~SequencerReader()
{
    stop();

    if (decoder != nullptr)
        snd_midi_event_free (decoder);

    if (wakeFd >= 0)
        ::close (wakeFd);

    snd_seq_close (handle);
}

void SequencerReader::start (Receiver& receiver)
{
    if (! thread.joinable())
        thread = std::thread ([this, &receiver]
                              { run (receiver); });
}

void SequencerReader::stop()
{
    if (! thread.joinable())
        return;

    const uint64_t wake = 1;
    [[maybe_unused]] const auto written = ::write (wakeFd, &wake, sizeof (wake));
    thread.join();

    uint64_t woken = 0;
    [[maybe_unused]] const auto read = ::read (wakeFd, &woken, sizeof (woken));
}

void SequencerReader::run (Receiver& receiver)
{
    const auto count = snd_seq_poll_descriptors_count (handle, POLLIN);
    std::vector<pollfd> descriptors ((size_t) count + 1);
    snd_seq_poll_descriptors (handle, descriptors.data(), (unsigned int) count, POLLIN);
    descriptors.back() = { wakeFd, POLLIN, 0 };

    for (;;)
    {
        readEvents (receiver);

        if (::poll (descriptors.data(), (nfds_t) descriptors.size(), -1) < 0 && errno != EINTR)
            return;

        if (descriptors.back().revents != 0)
            return;
    }
}

void SequencerReader::readEvents (Receiver& receiver)
{
    for (;;)
    {
        snd_seq_event_t* event = nullptr;
        const auto result = snd_seq_event_input (handle, &event);

        // The kernel found this client's queue full and emptied it.
        if (result == -ENOSPC)
        {
            receiver.eventsLost();
            continue;
        }

        if (result < 0 || event == nullptr)
            return;

        if (event->type == SND_SEQ_EVENT_SYSEX)
        {
            // Only a variable-length event carries its bytes with it. Any
            // local program may send one with a user-space length instead,
            // whose pointer is an address in that program's memory.
            if (snd_seq_ev_is_variable (event))
                receiver.bytesReceived (static_cast<const uint8_t*> (event->data.ext.ptr), event->data.ext.len);
        }
        else
        {
            uint8_t bytes[decodeBufferSize];
            const auto size = snd_midi_event_decode (decoder, bytes, decodeBufferSize, event);

            // Announcements and other events that are no MIDI decode to nothing.
            if (size > 0)
                receiver.bytesReceived (bytes, (size_t) size);
        }
    }
}
}
