#include "midi/SysexAssembler.h"

#include <gtest/gtest.h>

namespace
{
using Bytes = std::vector<uint8_t>;

/** Feeds the stream in pieces of `pieceSize` bytes, with a gap before each of `gapsAt`. */
std::vector<Bytes> assemble (const Bytes& stream, size_t pieceSize, std::vector<size_t> gapsAt = {})
{
    std::vector<Bytes> messages;
    SysexAssembler assembler ([&] (const uint8_t* data, size_t size)
                              { messages.emplace_back (data, data + size); });

    for (size_t offset = 0; offset < stream.size(); offset += pieceSize)
    {
        if (std::find (gapsAt.begin(), gapsAt.end(), offset) != gapsAt.end())
            assembler.reset();

        assembler.push (stream.data() + offset, std::min (pieceSize, stream.size() - offset));
    }

    return messages;
}

Bytes sysex (size_t size)
{
    Bytes message (size, 0x41);
    message.front() = 0xf0;
    message.back() = 0xf7;
    return message;
}

Bytes join (std::initializer_list<Bytes> parts)
{
    Bytes all;

    for (const auto& part : parts)
        all.insert (all.end(), part.begin(), part.end());

    return all;
}
}

TEST (SysexAssembler, DeliversWholeMessagesHoweverTheStreamIsCut)
{
    // A note under running status, a clock tick inside a SysEx message, a
    // stray data byte and a stray F7, a program change and a song position.
    const auto stream = join ({ { 0x90, 60, 100, 61, 0 }, { 0xf0, 0x7e, 0xf8, 0x06, 0xf7 }, { 0x12, 0xf7, 0xc3, 5, 0xf2, 1, 2 } });
    const std::vector<Bytes> expected { { 0x90, 60, 100 }, { 0x90, 61, 0 }, { 0xf8 }, { 0xf0, 0x7e, 0x06, 0xf7 }, { 0xc3, 5 }, { 0xf2, 1, 2 } };

    for (size_t pieceSize : { (size_t) 1, (size_t) 2, (size_t) 3, stream.size() })
        EXPECT_EQ (assemble (stream, pieceSize), expected) << pieceSize << "-byte pieces";
}

TEST (SysexAssembler, DropsWhatIsTooLongOrUnfinishedAndDeliversWhatFollows)
{
    const auto reply = sysex (37);
    const auto longest = sysex (SysexAssembler::maxMessageSize);
    auto endless = sysex (1000 * SysexAssembler::maxMessageSize);
    endless.pop_back();

    // Too long, ended; too long, never ended; cut short by a status byte.
    EXPECT_EQ (assemble (join ({ sysex (SysexAssembler::maxMessageSize + 1), reply, longest }), 256), (std::vector<Bytes> { reply, longest }));
    EXPECT_EQ (assemble (join ({ endless, reply }), 256), (std::vector<Bytes> { reply }));
    EXPECT_EQ (assemble (join ({ { 0xf0, 1, 2, 0x80, 60, 0 }, reply }), 1), (std::vector<Bytes> { { 0x80, 60, 0 }, reply }));

    // A gap drops the message it falls into, and the running status.
    EXPECT_EQ (assemble (join ({ reply, { 0x90, 60, 100, 61, 0 } }), 1, { 20, 39 }), std::vector<Bytes> {});
}
