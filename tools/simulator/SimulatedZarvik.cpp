#include "SimulatedZarvik.h"

#include "control/VersionQuery.h"
#include "firmware/FirmwareImageValidator.h"
#include "firmware/ZarvikUnit.h"

#include <algorithm>
#include <ctime>
#include <stdexcept>

namespace
{
constexpr uint8_t sysexStart = 0xf0;
constexpr uint8_t sysexEnd = 0xf7;

static_assert (SimulatedZarvik::numProcessors == ZarvikUnit::numProcessors);

const std::vector<uint8_t> identityRequest { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime (CLOCK_THREAD_CPUTIME_ID, &now);
    return (double) now.tv_sec + (double) now.tv_nsec * 1e-9;
}

// Universal SysEx (non-real-time 7E, real-time 7F) carries device
// inquiries, never firmware.
bool isUniversal (const std::vector<uint8_t>& message)
{
    return message.size() > 1 && (message[1] == 0x7e || message[1] == 0x7f);
}

// A 7-bit byte near the middle changes: the framing stays, so the image
// still ends where it should, and its HEX checksum no longer holds.
void alterDataByte (std::vector<uint8_t>& bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        auto& b = bytes[(bytes.size() / 2 + i) % bytes.size()];

        if (b < 0x80)
        {
            b ^= 0x01;
            return;
        }
    }
}
}

std::string SimulatedZarvik::getPortName (int processor)
{
    if (processor < 0 || processor >= numProcessors)
        return {};

    return ZarvikUnit::processors[(size_t) processor].portName;
}

int SimulatedZarvik::findProcessor (const std::string& portName)
{
    const auto processor = ZarvikUnit::processorOfPort (portName);
    return processor.has_value() ? (int) *processor : -1;
}

uint8_t SimulatedZarvik::getImageProcessorByte (int processor)
{
    return ZarvikUnit::processors.at ((size_t) processor).imageByte;
}

SimulatedZarvik::SimulatedZarvik()
{
    // The versions that the unit leaves the factory with, older than the updater's.
    const std::array<std::array<uint8_t, 4>, numProcessors> versions { { { 0, 0, 3, 1 }, { 0, 0, 2, 1 }, { 0, 0, 2, 1 } } };

    for (size_t i = 0; i < ports.size(); ++i)
    {
        ports[i].version = versions[i];
        ports[i].processorCode = ZarvikUnit::processors[i].replyCode;
    }
}

SimulatedZarvik::~SimulatedZarvik()
{
    {
        const std::lock_guard<std::mutex> l (mutex);
        quitting = true;
    }

    restartSettingsChanged.notify_all();

    if (restartThread.joinable())
        restartThread.join();
}

SimulatedZarvik::Port& SimulatedZarvik::portFor (int processor)
{
    if (processor < 0 || processor >= numProcessors)
        throw std::out_of_range ("no processor " + std::to_string (processor));

    return ports[(size_t) processor];
}

const SimulatedZarvik::Port& SimulatedZarvik::portFor (int processor) const
{
    return const_cast<SimulatedZarvik*> (this)->portFor (processor);
}

//==============================================================================
void SimulatedZarvik::setConnection (Connection* newConnection)
{
    std::unique_lock<std::mutex> l (mutex);
    connection = newConnection;
    connectionIdle.wait (l, [this]
                         { return connectionCalls == 0; });
}

SimulatedZarvik::Connection* SimulatedZarvik::beginConnectionCall()
{
    if (connection != nullptr)
        ++connectionCalls;

    return connection;
}

void SimulatedZarvik::endConnectionCall()
{
    {
        const std::lock_guard<std::mutex> l (mutex);
        --connectionCalls;
    }

    connectionIdle.notify_all();
}

void SimulatedZarvik::setVersion (int processor, std::array<uint8_t, 4> version)
{
    for (auto& field : version)
        field &= 0x7f;

    const std::lock_guard<std::mutex> l (mutex);
    portFor (processor).version = version;
}

void SimulatedZarvik::setProcessorCode (int processor, uint8_t code)
{
    const std::lock_guard<std::mutex> l (mutex);
    portFor (processor).processorCode = code & 0x7f;
}

void SimulatedZarvik::setAnswersIdentityRequests (int processor, bool answers)
{
    const std::lock_guard<std::mutex> l (mutex);
    portFor (processor).answersIdentityRequests = answers;
}

void SimulatedZarvik::setRehearsalMarker (bool carried)
{
    const std::lock_guard<std::mutex> l (mutex);
    rehearsalMarker = carried;
}

void SimulatedZarvik::disconnectAfterBytes (int processor, uint64_t bytes)
{
    const std::lock_guard<std::mutex> l (mutex);
    portFor (processor).disconnectAfter = bytes;
}

void SimulatedZarvik::disconnectAfterImages (int processor, int images)
{
    const std::lock_guard<std::mutex> l (mutex);
    portFor (processor).disconnectAfterImages = images;
}

void SimulatedZarvik::damageBuffer (int processor, uint64_t nth, BufferDamage damage)
{
    const std::lock_guard<std::mutex> l (mutex);
    auto& port = portFor (processor);
    port.damageCountdown = nth;
    port.damage = damage;
}

void SimulatedZarvik::setRestartAfterUpdate (bool restarts)
{
    {
        const std::lock_guard<std::mutex> l (mutex);
        restartAfterUpdate = restarts;

        if (restarts && ! restartThread.joinable())
            restartThread = std::thread ([this]
                                         { runRestarts(); });
    }

    restartSettingsChanged.notify_all();
}

void SimulatedZarvik::setRestartTimes (std::chrono::milliseconds newSettleTime, std::chrono::milliseconds newAwayTime)
{
    {
        const std::lock_guard<std::mutex> l (mutex);
        settleTime = newSettleTime;
        awayTime = newAwayTime;
    }

    restartSettingsChanged.notify_all();
}

void SimulatedZarvik::setVersionAfterUpdate (int processor, std::array<uint8_t, 4> version)
{
    for (auto& field : version)
        field &= 0x7f;

    const std::lock_guard<std::mutex> l (mutex);
    portFor (processor).versionAfterUpdate = version;
}

void SimulatedZarvik::setExpectedImages (int processor, std::vector<std::vector<uint8_t>> images)
{
    const std::lock_guard<std::mutex> l (mutex);
    portFor (processor).expectedImages = std::move (images);
}

std::vector<SimulatedZarvik::Restart> SimulatedZarvik::getRestarts() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return restarts;
}

bool SimulatedZarvik::isAway() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return away;
}

std::vector<uint8_t> SimulatedZarvik::getIdentityReply (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return makeIdentityReply (portFor (processor));
}

std::vector<uint8_t> SimulatedZarvik::makeIdentityReply (const Port& port) const
{
    std::vector<uint8_t> reply {
        0xf0,
        0x7e,
        0x00, // device ID
        0x06,
        0x02, // general information, identity reply
        0x00,
        0x01,
        0x3f, // manufacturer
        0x33,
        0x00, // family
        0x01 // model
    };

    reply.insert (reply.end(), port.version.begin(), port.version.end());
    reply.push_back (port.processorCode);

    // Twenty bytes of unit details: a serial number in ASCII, then the
    // rehearsal marker, or padding where a real unit has nothing to say.
    const std::string serial = "SIM-01";
    const std::string marker = VersionQuery::rehearsalMarker;
    reply.insert (reply.end(), serial.begin(), serial.end());

    if (rehearsalMarker)
        reply.insert (reply.end(), marker.begin(), marker.end());
    else
        reply.resize (reply.size() + marker.size(), 0x00);

    reply.push_back (0xf7);
    return reply;
}

//==============================================================================
void SimulatedZarvik::receive (int processor, const uint8_t* data, size_t size)
{
    receive (processor, data, size, std::chrono::steady_clock::now());
}

void SimulatedZarvik::receive (int processor, const uint8_t* data, size_t size, std::chrono::steady_clock::time_point arrival)
{
    receive (processor, data, size, arrival, arrival);
}

void SimulatedZarvik::receive (int processor, const uint8_t* data, size_t size, std::chrono::steady_clock::time_point earliest, std::chrono::steady_clock::time_point latest)
{
    const auto cpuAtStart = threadCpuSeconds();
    std::vector<std::vector<uint8_t>> replies;
    std::vector<uint8_t> altered;
    Connection* target = nullptr;
    bool disconnecting = false;

    {
        const std::lock_guard<std::mutex> l (mutex);
        auto& port = portFor (processor);
        lastArrival = std::chrono::steady_clock::now();

        if (port.damageCountdown > 0 && --port.damageCountdown == 0)
        {
            ++port.statistics.buffersDamaged;

            if (port.damage == BufferDamage::dropped)
                return;

            altered.assign (data, data + size);
            alterDataByte (altered);
            data = altered.data();
        }

        const auto elapsed = std::chrono::duration<double> (latest - created).count();
        const auto elapsedAtEarliest = std::chrono::duration<double> (earliest - created).count();

        // The pace matters between the buffers of firmware, not for device inquiries.
        const auto inquiry = size > 1 && data[0] == sysexStart && isUniversal ({ data[0], data[1] });

        if (! inquiry && port.lastWasFirmware)
        {
            const auto gap = elapsed - port.lastEarliestArrival;
            auto& statistics = port.statistics;
            statistics.shortestGapSeconds = statistics.firmwareGaps++ > 0 ? std::min (statistics.shortestGapSeconds, gap) : gap;

            if (gap < minimumGapSeconds)
                ++statistics.pacingFaults;
        }

        port.lastWasFirmware = ! inquiry;
        port.arrivalTimes.push_back (elapsed);
        port.lastEarliestArrival = elapsedAtEarliest;
        ++port.statistics.buffersReceived;

        if (port.disconnectAfter > 0 && size >= port.disconnectAfter)
        {
            size = (size_t) port.disconnectAfter;
            port.disconnectAfter = 0;
            disconnecting = true;
        }
        else if (port.disconnectAfter > 0)
        {
            port.disconnectAfter -= size;
        }

        port.statistics.bytesReceived += size;
        parse (processor, port, data, size, replies);

        if (port.disconnectNow)
        {
            port.disconnectNow = false;
            disconnecting = true;
        }

        if (disconnecting)
            abandonAll (port);

        if (disconnecting || ! replies.empty())
            target = beginConnectionCall();

        cpuSeconds += threadCpuSeconds() - cpuAtStart;
    }

    if (target == nullptr)
        return;

    for (auto& reply : replies)
        target->sendToHost (processor, reply);

    if (disconnecting)
        target->disconnect (processor);

    endConnectionCall();
}

void SimulatedZarvik::parse (int processor, Port& port, const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>& replies)
{
    const auto* end = data + size;

    while (data < end && ! port.disconnectNow)
    {
        switch (port.state)
        {
            case ParserState::idle:
            {
                const auto* start = std::find (data, end, sysexStart);
                port.statistics.strayBytes += (uint64_t) (start - data);

                // An F7 out of place is what is left of a message that another one interrupted.
                for (const auto* b = data; b < start; ++b)
                    if (*b == sysexEnd && port.openTransfers > 0)
                        --port.openTransfers;

                data = start;

                if (data < end)
                {
                    beginMessage (port);
                    port.currentFirstBufferBytes = (size_t) (end - data);
                    ++data;
                }

                break;
            }

            case ParserState::inSysex:
            {
                // Data bytes go in as they are; the validator judges them once the message is whole.
                const auto* next = std::find_if (data, end, [] (uint8_t b)
                                                 { return b == sysexStart || b == sysexEnd; });
                port.current.insert (port.current.end(), data, next);
                data = next;

                if (data == end)
                    break;

                if (*data == sysexStart)
                {
                    ++port.statistics.interleavedStarts;
                    abandon (port, "a new F0 arrived before this message's F7 (two transfers interleaved)");
                    beginMessage (port);
                    port.currentFirstBufferBytes = (size_t) (end - data);
                    port.currentInterleaved = true;
                }
                else
                {
                    port.current.push_back (sysexEnd);
                    finishMessage (processor, port, replies);
                }

                ++data;
                break;
            }
        }
    }
}

void SimulatedZarvik::beginMessage (Port& port)
{
    port.state = ParserState::inSysex;
    port.current.assign (1, sysexStart);
    port.currentStartTime = port.arrivalTimes.empty() ? 0.0 : port.arrivalTimes.back();
    port.currentInterleaved = false;
    port.statistics.maxTransfersAtOnce = std::max (port.statistics.maxTransfersAtOnce, ++port.openTransfers);
}

void SimulatedZarvik::finishMessage (int processor, Port& port, std::vector<std::vector<uint8_t>>& replies)
{
    port.state = ParserState::idle;
    port.openTransfers = std::max (0, port.openTransfers - 1);

    if (isUniversal (port.current))
    {
        if (port.current == identityRequest)
        {
            ++port.statistics.identityRequests;

            if (port.answersIdentityRequests)
                replies.push_back (makeIdentityReply (port));
        }

        port.current.clear();
        return;
    }

    ReceivedImage image;
    image.complete = true;

    if (port.currentInterleaved)
    {
        image.problem = "interleaved with another transfer";
    }
    else
    {
        const auto result = FirmwareImageValidator::validate (port.current.data(), port.current.size(), getImageProcessorByte (processor));
        image.valid = result.ok;

        if (! result.ok)
            image.problem = "at offset " + std::to_string (result.offset) + ": " + result.problem;
    }

    keepImage (port, std::move (image));

    if (port.disconnectAfterImages > 0 && --port.disconnectAfterImages == 0)
        port.disconnectNow = true;
}

void SimulatedZarvik::keepImage (Port& port, ReceivedImage image)
{
    image.bytes = std::move (port.current);
    image.startTime = port.currentStartTime;
    image.endTime = port.arrivalTimes.empty() ? 0.0 : port.arrivalTimes.back();
    image.firstBufferBytes = std::min (port.currentFirstBufferBytes, image.bytes.size());
    port.images.push_back (std::move (image));
    port.current.clear();
}

void SimulatedZarvik::abandon (Port& port, const std::string& problem)
{
    if (port.state != ParserState::inSysex)
        return;

    ReceivedImage image;
    image.problem = problem;
    keepImage (port, std::move (image));

    port.currentInterleaved = false;
    port.state = ParserState::idle;
}

void SimulatedZarvik::abandonTransfer (int processor)
{
    const std::lock_guard<std::mutex> l (mutex);
    abandonAll (portFor (processor));
}

void SimulatedZarvik::abandonAll (Port& port)
{
    abandon (port, "the port disconnected before F7");
    port.openTransfers = 0;
}

//==============================================================================
void SimulatedZarvik::runRestarts()
{
    std::unique_lock<std::mutex> l (mutex);

    while (! quitting)
    {
        const auto now = std::chrono::steady_clock::now();

        if (! restartAfterUpdate)
        {
            restartSettingsChanged.wait (l);
            continue;
        }

        if (! isSettled (now))
        {
            // Looked at again when the ports will have been quiet for the
            // settle time, or after that long if a message is still open.
            const auto settled = lastArrival + settleTime;
            restartSettingsChanged.wait_until (l, settled > now ? settled : now + settleTime);
            continue;
        }

        restarts.push_back (judgeUpdate());
        away = true;

        if (auto* target = beginConnectionCall())
        {
            l.unlock();

            for (int p = 0; p < numProcessors; ++p)
                target->disconnect (p);

            endConnectionCall();
            l.lock();
        }

        const auto back = std::chrono::steady_clock::now() + awayTime;

        if (restartSettingsChanged.wait_until (l, back, [this]
                                               { return quitting; }))
            break;

        away = false;
        restarts.back().back = true;

        if (auto* target = beginConnectionCall())
        {
            l.unlock();
            target->reconnect();
            endConnectionCall();
            l.lock();
        }
    }
}

bool SimulatedZarvik::isSettled (std::chrono::steady_clock::time_point now) const
{
    bool updated = false;

    for (const auto& port : ports)
    {
        if (port.state == ParserState::inSysex)
            return false;

        updated = updated || port.images.size() > port.imagesBeforeUpdate;
    }

    return updated && now - lastArrival >= settleTime;
}

SimulatedZarvik::Restart SimulatedZarvik::judgeUpdate()
{
    Restart restart;

    for (size_t p = 0; p < ports.size(); ++p)
    {
        auto& port = ports[p];
        auto& result = restart.processors[p];

        // Bytes outside any message are what is left of an image whose F0 was lost.
        if (const auto stray = port.statistics.strayBytes - port.strayBytesBeforeUpdate; stray > 0)
            result.reason = std::to_string (stray) + " bytes arrived outside any image";
        else if (port.images.size() == port.imagesBeforeUpdate)
            result.reason = "no image arrived";

        for (auto i = port.imagesBeforeUpdate; i < port.images.size() && result.reason.empty(); ++i)
        {
            const auto& image = port.images[i];
            const auto& expected = port.expectedImages;
            const auto name = "image " + std::to_string (i + 1);

            if (! image.valid)
                result.reason = name + " damaged: " + image.problem;
            else if (! expected.empty() && std::find (expected.begin(), expected.end(), image.bytes) == expected.end())
                result.reason = name + " equals no image of the update";
        }

        result.updated = result.reason.empty();

        if (result.updated && port.versionAfterUpdate.has_value())
            port.version = *port.versionAfterUpdate;

        result.version = port.version;
        port.imagesBeforeUpdate = port.images.size();
        port.strayBytesBeforeUpdate = port.statistics.strayBytes;
    }

    return restart;
}

//==============================================================================
std::vector<SimulatedZarvik::ReceivedImage> SimulatedZarvik::getImages (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return portFor (processor).images;
}

int SimulatedZarvik::getImageCount (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return (int) portFor (processor).images.size();
}

bool SimulatedZarvik::isReceivingImage (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return portFor (processor).state == ParserState::inSysex;
}

SimulatedZarvik::PortStatistics SimulatedZarvik::getStatistics (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return portFor (processor).statistics;
}

std::vector<double> SimulatedZarvik::getBufferArrivalTimes (int processor) const
{
    const std::lock_guard<std::mutex> l (mutex);
    return portFor (processor).arrivalTimes;
}

double SimulatedZarvik::getSecondsSinceCreated() const
{
    return std::chrono::duration<double> (std::chrono::steady_clock::now() - created).count();
}

double SimulatedZarvik::getCpuSeconds() const
{
    const std::lock_guard<std::mutex> l (mutex);
    return cpuSeconds;
}

void SimulatedZarvik::clearReceived()
{
    const std::lock_guard<std::mutex> l (mutex);
    cpuSeconds = 0.0;

    for (auto& port : ports)
    {
        port.state = ParserState::idle;
        port.current.clear();
        port.currentInterleaved = false;
        port.openTransfers = 0;
        port.images.clear();
        port.imagesBeforeUpdate = 0;
        port.strayBytesBeforeUpdate = 0;
        port.statistics = {};
        port.arrivalTimes.clear();
    }
}
