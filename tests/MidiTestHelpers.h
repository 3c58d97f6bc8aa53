#pragma once

#include "tools/simulator/InProcessMidiPorts.h"
#include "midi/MidiManager.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace MidiTestHelpers
{
using Bytes = std::vector<juce::uint8>;

inline Bytes bytesOf (const juce::MidiMessage& m)
{
    return { m.getRawData(), m.getRawData() + m.getRawDataSize() };
}

inline juce::MidiMessage messageOf (const Bytes& bytes)
{
    return { bytes.data(), (int) bytes.size() };
}

/** Keeps every buffer that reaches the device ends it is attached to, in
        arrival order and tagged with the device, across all of them. */
class BufferLog
{
public:
    struct Entry
    {
        juce::String device;
        Bytes bytes;
    };

    void attach (InProcessMidiPorts::Device& device)
    {
        const auto identifier = device.getIdentifier();
        device.setBufferHandler ([this, identifier] (const juce::uint8* data, size_t size, std::chrono::steady_clock::time_point)
                                 {
                                         const std::lock_guard<std::mutex> l (mutex);
                                         entries.push_back ({ identifier, Bytes (data, data + size) }); });
    }

    std::vector<Entry> get() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return entries;
    }

private:
    mutable std::mutex mutex;
    std::vector<Entry> entries;
};

/** An input port's callback that records what it is given, on whatever thread. */
class RecordingCallback final : public MidiInputPortCallback
{
public:
    void handleIncomingMidiMessage (MidiInputPort*, const juce::MidiMessage& message) override
    {
        {
            const std::lock_guard<std::mutex> l (mutex);
            messages.push_back (bytesOf (message));
            onMessageThread = onMessageThread || juce::MessageManager::getInstance()->isThisTheMessageThread();
        }

        if (onMessage)
            onMessage();
    }

    std::vector<Bytes> get() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return messages;
    }

    std::function<void()> onMessage;
    bool onMessageThread = false;

private:
    mutable std::mutex mutex;
    std::vector<Bytes> messages;
};

/** A manager listener that records what it is given, on whatever thread. */
class RecordingListener final : public MidiManager::Listener
{
public:
    struct Call
    {
        juce::String port;
        Bytes bytes;
        std::thread::id thread;
    };

    void midiMessageReceived (MidiInputPort* source, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> l (mutex);
        calls.push_back ({ source != nullptr ? source->getName() : juce::String(), bytesOf (message), std::this_thread::get_id() });

        if (order != nullptr)
            order->push_back (name);
    }

    std::vector<Call> get() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return calls;
    }

    size_t count() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return calls.size();
    }

    std::string name;
    std::vector<std::string>* order = nullptr; /**< Shared by listeners to record who was called first. */

private:
    mutable std::mutex mutex;
    std::vector<Call> calls;
};
}
