#pragma once

#include "WineRewrapping.h"
#include "tools/simulator/SimulatedZarvik.h"

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

/**
    Presents a SimulatedZarvik on the ALSA sequencer: one client with three
    ports, readable and writable, named after the unit's processors. Each
    SysEx event that arrives on a port reaches the unit as one buffer, bytes
    unchanged; the unit's replies go to the port's subscribers.

    When the unit restarts after an update, its ports are deleted and it comes
    back as a new client of the same name, so that its ports get new
    addresses, as those of a USB unit do when it is enumerated again.

    Events are read on a thread of its own, started by the constructor and
    joined by the destructor. Linux only.
*/
class AlsaSequencerUnit final : private SimulatedZarvik::Connection
{
public:
    /** Throws std::runtime_error when the sequencer cannot be opened or the ports
        cannot be made. With `fromWine`, each event's bytes reach the unit as the
        sender wrote them before Wine's MIDI output rewrapped them. */
    AlsaSequencerUnit (SimulatedZarvik& unit, const std::string& clientName, bool fromWine = false);
    ~AlsaSequencerUnit() override;

    /** The client's number; a new one after each restart. */
    int getClientId() const noexcept { return clientId; }

    /** False once the unit has been unplugged or has left for a restart: its ports are gone. */
    bool isPlugged() const noexcept { return plugged; }

    /** Stops reading once `bytes` have arrived on the processor's port, as a
        unit whose input has hung: its three ports share one input, so none of
        them is read from then on, and the host's writes back up. */
    void stopReadingAfterBytes (int processor, uint64_t bytes);

    /** True once the unit has stopped reading. */
    bool isStalled() const noexcept { return stalled; }

    /** How often the kernel dropped events because they came in faster than they were read. */
    int getOverruns() const noexcept { return overruns; }

private:
    void startReading();
    void stopReading();
    void run();
    void handleEvent (const void* event);
    int processorForPort (int port) const;

    void sendToHost (int processor, const std::vector<uint8_t>& message) override;
    void disconnect (int processor) override;
    void reconnect() override;

    struct Sequencer;

    SimulatedZarvik& unit;
    const std::string clientName;
    std::unique_ptr<WineRewrapping> wine;
    std::unique_ptr<Sequencer> sequencer;
    std::atomic<int> clientId { -1 };
    std::chrono::steady_clock::time_point lastFoundEmpty = std::chrono::steady_clock::now();
    std::atomic<bool> plugged { true };
    std::atomic<bool> quitting { false };
    std::atomic<bool> stalled { false };
    std::atomic<uint64_t> stallAfterBytes { 0 };
    std::atomic<int> stallProcessor { -1 };
    std::atomic<int> overruns { 0 };
    int wakePipe[2] = { -1, -1 };
    std::mutex outputLock;
    std::thread thread;
};
