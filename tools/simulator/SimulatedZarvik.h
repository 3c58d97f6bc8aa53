#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

/**
    A simulated Brelmar Zarvik: three processors, each behind a MIDI port of
    its own (0 "Zarvik Control", 1 "Zarvik Audio", 2 "Zarvik Graphics").

    Each processor answers the identity request F0 7E 7F 06 01 F7 with its
    identity reply, and takes in firmware images: it reassembles the SysEx
    stream that arrives on its port across buffers, checks every finished image
    (framing, 7-bit bytes, processor byte, HEX records and checksums) and keeps
    it byte for byte. It records what a test or a benchmark wants to know about
    the stream: byte and buffer counts, buffer arrival times, transfers that
    overlapped on one port, and anything else that corrupts an image.

    Told to, it restarts after an update as a real unit does when its user
    resets it: its ports go, come back as a new device, and each processor
    then reports the version the update installs if every image it received
    arrived intact, or its old one.

    The unit knows nothing of any port system: whatever connects it to a host
    hands it the bytes each port receives and carries its replies back through
    a Connection. Every member is safe to call from any thread; bytes usually
    arrive on the host's sending thread while queries come from a test thread.
*/
class SimulatedZarvik final
{
public:
    static constexpr int numProcessors = 3;

    /** "Zarvik Control", "Zarvik Audio" or "Zarvik Graphics"; empty for another index. */
    static std::string getPortName (int processor);

    /** The processor behind a port name (whole, case-sensitive), or -1. */
    static int findProcessor (const std::string& portName);

    /** The processor byte that images for this processor carry in their header. */
    static uint8_t getImageProcessorByte (int processor);

    /** What the unit needs from whatever connects it to a host. Called without
        the unit's lock held: on the thread that delivered the bytes, or for a
        restart on the unit's own restart thread. */
    class Connection
    {
    public:
        virtual ~Connection() = default;

        /** Sends one complete message to the host's input of that processor's port. */
        virtual void sendToHost (int processor, const std::vector<uint8_t>& message) = 0;

        /** The processor's port drops off the bus, as when its cable is pulled. */
        virtual void disconnect (int processor) = 0;

        /** After a restart, all three ports come back as a new device: same
            names, new identities, as the system enumerates a USB device anew. */
        virtual void reconnect() = 0;
    };

    /** How a buffer is damaged in transit. */
    enum class BufferDamage
    {
        dropped, // lost whole: the unit never sees it
        altered // one data byte near its middle arrives with its lowest bit flipped
    };

    /** One SysEx message other than a device inquiry, as it arrived. */
    struct ReceivedImage
    {
        std::vector<uint8_t> bytes; /**< From F0 up to F7, or up to where it stopped. */
        bool complete = false; /**< Ended with its own F7. */
        bool valid = false; /**< Complete, well formed and not mixed with other data. */
        std::string problem; /**< Why it is not valid; empty when it is. */
        double startTime = 0.0; /**< When the buffer with its F0 arrived, in seconds since the unit was created. */
        double endTime = 0.0; /**< When its last buffer arrived. */
        size_t firstBufferBytes = 0; /**< Its bytes in that first buffer. */

        /** The pace at which its bytes came in after the first buffer; 0 when it came in one buffer. */
        double bytesPerSecond() const
        {
            return endTime > startTime ? (double) (bytes.size() - firstBufferBytes) / (endTime - startTime) : 0.0;
        }
    };

    struct PortStatistics
    {
        uint64_t bytesReceived = 0;
        uint64_t buffersReceived = 0;
        int identityRequests = 0;
        int maxTransfersAtOnce = 0; /**< Most SysEx messages open at the same time on the port. */
        int interleavedStarts = 0; /**< F0 arriving inside an open SysEx message. */
        uint64_t strayBytes = 0; /**< Bytes outside any SysEx message. */
        uint64_t firmwareGaps = 0; /**< Gaps between two buffers of firmware (anything but device inquiries) in a row. */
        double shortestGapSeconds = 0.0; /**< The shortest of them, as long as the arrivals' bounds allow; 0 without any. */
        uint64_t pacingFaults = 0; /**< Those shorter than minimumGapSeconds. */
        int buffersDamaged = 0; /**< Buffers dropped or altered in transit, as damageBuffer asked. */
    };

    /** What a restart made of one processor. */
    struct ProcessorRestart
    {
        std::array<uint8_t, 4> version {}; /**< The version it reports since. */
        bool updated = false; /**< It took the version after update: every image since the previous restart arrived intact, and nothing else. */
        std::string reason; /**< Why it kept its old version; empty when updated. */
    };

    struct Restart
    {
        std::array<ProcessorRestart, numProcessors> processors;
        bool back = false; /**< Its ports have come back; false while it is away. */
    };

    /** One slice per 3 ms is the only pace the unit is known to take. Buffers
        closer together than this (3 ms less the jitter of arrival times) are a
        burst that could overrun it. */
    static constexpr double minimumGapSeconds = 0.0029;

    SimulatedZarvik();
    ~SimulatedZarvik();

    /** Not owned; must outlive its use here. Null drops replies and disconnects.
        Waits for calls into the previous connection that are under way on other
        threads, so none reaches it once this returns. */
    void setConnection (Connection* connection);

    /** The four version fields that a processor reports, each 0 to 127. */
    void setVersion (int processor, std::array<uint8_t, 4> version);

    /** The processor code of the identity reply (0x00, 0x10 and 0x20 by default). */
    void setProcessorCode (int processor, uint8_t code);

    /** Whether the processor answers the identity request at all (it does by
        default); one that does not still counts the requests it receives. */
    void setAnswersIdentityRequests (int processor, bool answers);

    /** Whether the identity replies carry the rehearsal marker that tells an
        updater with test firmware this is no real unit (on by default). */
    void setRehearsalMarker (bool carried);

    /** The processor's port disconnects once this many further bytes have
        arrived; the bytes past that point of the buffer are lost. 0 clears it. */
    void disconnectAfterBytes (int processor, uint64_t bytes);

    /** The processor's port disconnects as soon as this many further images
        have arrived on it whole; what follows in the same buffer is lost. 0 clears it. */
    void disconnectAfterImages (int processor, int images);

    /** The buffer that arrives `nth` on the processor's port from now on (1 is
        the next; identity requests count too) is damaged in transit, so that
        the image it belongs to is judged damaged. 0 clears it. A buffer that
        carries an image's F7, dropped, leaves that image open for good. */
    void damageBuffer (int processor, uint64_t nth, BufferDamage damage);

    /** Whether the unit restarts after an update (it does not by default).
        Once it has received an image and every port has been idle (no SysEx
        message open, no bytes arriving) for the settle time, it disconnects
        its three ports, stays away for the away time and reconnects. */
    void setRestartAfterUpdate (bool restarts);

    /** Both 1 s by default: the updater sends an asset image a few
        milliseconds after its application image, and a 100 ms presence poll
        sees the ports gone. */
    void setRestartTimes (std::chrono::milliseconds settleTime, std::chrono::milliseconds awayTime);

    /** The version that an update installs on the processor: after a restart
        it reports this if it received at least one image since the previous
        restart, every one of them intact, and nothing outside them. Until
        set, an update leaves the version as it was. */
    void setVersionAfterUpdate (int processor, std::array<uint8_t, 4> version);

    /** The images an update brings the processor. Once any are set, an image
        that equals none of them byte for byte counts as damaged for the
        restart, however well formed. */
    void setExpectedImages (int processor, std::vector<std::vector<uint8_t>> images);

    /** Every restart so far, oldest first; the last one may still be away. */
    std::vector<Restart> getRestarts() const;

    /** True from the moment the unit leaves for a restart until it reconnects. */
    bool isAway() const;

    /** The 37-byte identity reply that the processor sends. */
    std::vector<uint8_t> getIdentityReply (int processor) const;

    /** One buffer of bytes that the host sent to the processor's port, arriving now. */
    void receive (int processor, const uint8_t* data, size_t size);

    /** The same, for a buffer that arrived at the given time (a connection that
        knows when the host handed the buffer over gives that time). */
    void receive (int processor, const uint8_t* data, size_t size, std::chrono::steady_clock::time_point arrival);

    /** The same, for a buffer whose arrival is known only to lie between two
        times. A gap between two buffers counts as a pacing fault only when it
        is short however the two arrivals lie within their bounds, so that a
        connection with imprecise clocks never reports a burst that was not. */
    void receive (int processor, const uint8_t* data, size_t size, std::chrono::steady_clock::time_point earliest, std::chrono::steady_clock::time_point latest);

    /** The port is gone: a SysEx message in progress stays incomplete. */
    void abandonTransfer (int processor);

    /** The images received on the port so far, oldest first. */
    std::vector<ReceivedImage> getImages (int processor) const;
    int getImageCount (int processor) const;

    /** Whether a SysEx message has begun on the port and not ended. */
    bool isReceivingImage (int processor) const;

    PortStatistics getStatistics (int processor) const;

    /** When each buffer arrived, in seconds since the unit was created. */
    std::vector<double> getBufferArrivalTimes (int processor) const;

    /** Now, in the seconds of getBufferArrivalTimes. */
    double getSecondsSinceCreated() const;

    /** CPU time that the threads delivering buffers spent inside the unit,
        taking them in and checking them. */
    double getCpuSeconds() const;

    /** Forgets everything received and every statistic; settings and restarts stay. */
    void clearReceived();

private:
    enum class ParserState
    {
        idle, // between messages: only F0 is expected
        inSysex // inside a SysEx message: 7-bit data until F7
    };

    struct Port
    {
        ParserState state = ParserState::idle;
        std::vector<uint8_t> current;
        bool currentInterleaved = false;
        double currentStartTime = 0.0;
        size_t currentFirstBufferBytes = 0;
        int openTransfers = 0;

        std::vector<ReceivedImage> images;
        PortStatistics statistics;
        std::vector<double> arrivalTimes;
        double lastEarliestArrival = 0.0;
        bool lastWasFirmware = false;

        std::array<uint8_t, 4> version {};
        uint8_t processorCode = 0;
        bool answersIdentityRequests = true;
        uint64_t disconnectAfter = 0;
        int disconnectAfterImages = 0;
        bool disconnectNow = false;
        uint64_t damageCountdown = 0;
        BufferDamage damage = BufferDamage::dropped;

        std::optional<std::array<uint8_t, 4>> versionAfterUpdate;
        std::vector<std::vector<uint8_t>> expectedImages;
        size_t imagesBeforeUpdate = 0; // images received before the previous restart
        uint64_t strayBytesBeforeUpdate = 0;
    };

    void parse (int processor, Port& port, const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>& replies);
    void beginMessage (Port& port);
    void finishMessage (int processor, Port& port, std::vector<std::vector<uint8_t>>& replies);
    void keepImage (Port& port, ReceivedImage image);
    void abandon (Port& port, const std::string& problem);
    void abandonAll (Port& port);
    std::vector<uint8_t> makeIdentityReply (const Port& port) const;
    Port& portFor (int processor);
    const Port& portFor (int processor) const;

    void runRestarts();
    bool isSettled (std::chrono::steady_clock::time_point now) const;
    Restart judgeUpdate();
    Connection* beginConnectionCall();
    void endConnectionCall();

    mutable std::mutex mutex;
    std::array<Port, numProcessors> ports;
    double cpuSeconds = 0.0;
    bool rehearsalMarker = true;
    Connection* connection = nullptr;
    int connectionCalls = 0; // calls into the connection under way, made without the lock
    std::condition_variable connectionIdle;
    const std::chrono::steady_clock::time_point created = std::chrono::steady_clock::now();

    bool restartAfterUpdate = false;
    std::chrono::milliseconds settleTime { 1000 }, awayTime { 1000 };
    std::chrono::steady_clock::time_point lastArrival = created;
    std::vector<Restart> restarts;
    bool away = false;
    bool quitting = false;
    std::condition_variable restartSettingsChanged;
    std::thread restartThread;

    SimulatedZarvik (const SimulatedZarvik&) = delete;
    SimulatedZarvik& operator= (const SimulatedZarvik&) = delete;
};
