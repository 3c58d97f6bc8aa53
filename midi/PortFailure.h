#pragma once

#include <juce_core/juce_core.h>
#include <stdexcept>

/**
    Why a MIDI port did not do what it was asked: a kind that the program can
    act on, and the system's own words for it. A default-made one is no
    failure. The ports return it, the update log and standard error put it in
    words (describe), and tests compare kinds.
*/
struct PortFailure
{
    enum class Kind
    {
        none,
        notOpen, // the port could not be opened, or has been closed
        unplugged, // the device or the receiving program has gone
        writeFailed, // the system refused the bytes
        timedOut, // the receiver took no bytes within the time limit
        heldByAnotherProgram, // the device is in use elsewhere
        refused // the system refused to open or connect it
    };

    Kind kind = Kind::none;
    juce::String detail;

    static PortFailure none() { return {}; }

    bool failed() const noexcept { return kind != Kind::none; }
    explicit operator bool() const noexcept { return failed(); }

    /** "unplugged: the device has gone", "held by another program", "not open: <why>". */
    juce::String describe() const
    {
        const auto word = [this]() -> juce::String
        {
            switch (kind)
            {
                case Kind::none:
                    return {};
                case Kind::notOpen:
                    return "not open";
                case Kind::unplugged:
                    return "unplugged";
                case Kind::writeFailed:
                    return "write failed";
                case Kind::timedOut:
                    return "write timed out";
                case Kind::heldByAnotherProgram:
                    return "held by another program";
                case Kind::refused:
                    return "refused";
            }

            return {};
        }();

        return detail.isEmpty() ? word : word + ": " + detail;
    }
};

/** What opening a port throws, carrying its failure. */
class PortError final : public std::runtime_error
{
public:
    explicit PortError (PortFailure f)
        : std::runtime_error (f.describe().toStdString()), failure (std::move (f)) {}

    const PortFailure failure;
};
