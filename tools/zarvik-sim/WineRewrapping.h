#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

/**
    Undoes what Wine's MIDI output does to long messages, and nothing else.
    Wine hands each buffer to the sequencer as a SysEx event of its own, with
    an F0 added in front of a buffer that lacks one and an F7 added behind a
    buffer that lacks one; a slice in the middle of an image thus arrives as
    F0, the slice, F7.

    An F0 at an event's start is Wine's while the port's message is still open.
    An F7 at an event's end is the sender's own only where the message is
    complete by its content: a message other than a firmware image (an
    identity request, which Wine never splits), or an image whose last HEX
    record is the end-of-file record. Every other byte, and every event not
    framed as Wine frames them, passes unchanged, for the unit to judge.

    One case is Wine's own ambiguity: an image whose last buffer is its F7
    alone arrives exactly like one whose F7 came with the text before it,
    followed by an empty message; the unit then reports a stray F7.
*/
class WineRewrapping final
{
public:
    /** The buffer as the sender wrote it, given one event's bytes as they arrived on a port. */
    std::vector<uint8_t> undo (int processor, const uint8_t* data, size_t size);

private:
    struct Port
    {
        bool open = false;
        bool image = false;
        std::vector<uint8_t> tail; // the open message's last bytes
    };

    std::array<Port, 3> ports;
};
