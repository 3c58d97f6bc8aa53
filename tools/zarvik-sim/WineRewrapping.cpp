#include "WineRewrapping.h"

#include <algorithm>
#include <cctype>

namespace
{
// Intel HEX's end-of-file record, in either case, with or without a line end
// after it: an image's text ends with it.
constexpr char endOfFileRecord[] = ":00000001FF";
constexpr size_t endOfFileLength = sizeof (endOfFileRecord) - 1;
constexpr size_t tailLength = endOfFileLength + 2;

bool endsWithEndOfFile (const std::vector<uint8_t>& text)
{
    auto end = text.size();

    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;

    if (end < endOfFileLength)
        return false;

    return std::equal (endOfFileRecord, endOfFileRecord + endOfFileLength, text.begin() + (std::ptrdiff_t) (end - endOfFileLength), [] (char expected, uint8_t c)
                       { return expected == std::toupper (c); });
}
}

std::vector<uint8_t> WineRewrapping::undo (int processor, const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes (data, data + size);

    if (processor < 0 || processor >= (int) ports.size() || size < 2 || data[0] != 0xf0 || data[size - 1] != 0xf7)
        return bytes;

    auto& port = ports[(size_t) processor];

    if (port.open)
        bytes.erase (bytes.begin());
    else
        port = { true, bytes.size() > 1 && bytes[1] != 0x7e && bytes[1] != 0x7f, {} };

    // The bytes before the final F7, as the message's latest text.
    port.tail.insert (port.tail.end(), bytes.begin(), bytes.end() - 1);

    if (port.tail.size() > tailLength)
        port.tail.erase (port.tail.begin(), port.tail.end() - (std::ptrdiff_t) tailLength);

    if (! port.image || endsWithEndOfFile (port.tail))
        port = {};
    else
        bytes.pop_back();

    return bytes;
}
