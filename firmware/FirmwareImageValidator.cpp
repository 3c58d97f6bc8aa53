#include "FirmwareImageValidator.h"

#include <cstdio>

namespace
{
    using Result = FirmwareImageValidator::Result;

    Result fault (size_t offset, std::string problem)
    {
        return { false, offset, std::move (problem) };
    }

    std::string byteText (uint8_t b)
    {
        char text[8];
        std::snprintf (text, sizeof (text), "0x%02X", b);
        return text;
    }

    int hexValue (uint8_t c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // Walks the Intel HEX text between the SysEx header and the closing F7.
    class HexTextParser
    {
    public:
        HexTextParser (const uint8_t* d, size_t start, size_t e) : data (d), pos (start), end (e) {}

        Result run()
        {
            for (;;)
            {
                if (pos >= end)
                    return fault (pos, "no end-of-file record before F7");

                const auto recordStart = pos;
                bool isEndOfFile = false;

                if (auto r = parseRecord (isEndOfFile); ! r.ok)
                    return r;

                if (isEndOfFile)
                {
                    if (end - pos >= 2 && data[pos] == '\r' && data[pos + 1] == '\n')
                        pos += 2;

                    if (pos != end)
                        return fault (pos, "data after the end-of-file record");

                    return {};
                }

                if (pos >= end)
                    return fault (pos, "no end-of-file record before F7 (last record starts at offset " + std::to_string (recordStart) + ")");

                if (end - pos < 2 || data[pos] != '\r' || data[pos + 1] != '\n')
                    return fault (pos, "expected CR LF after the HEX record, found " + byteText (data[pos]));

                pos += 2;
            }
        }

    private:
        bool readByte (int& value, Result& error)
        {
            for (int digit = 0; digit < 2; ++digit)
            {
                if (pos >= end)
                {
                    error = fault (pos, "HEX record cut off by the end of the image");
                    return false;
                }

                const auto v = hexValue (data[pos]);

                if (v < 0)
                {
                    error = fault (pos, "expected a hex digit in the HEX record, found " + byteText (data[pos]));
                    return false;
                }

                value = digit == 0 ? v << 4 : value | v;
                ++pos;
            }

            return true;
        }

        Result parseRecord (bool& isEndOfFile)
        {
            const auto recordStart = pos;

            if (data[pos] != ':')
                return fault (pos, "expected ':' at the start of a HEX record, found " + byteText (data[pos]));

            ++pos;
            Result error;
            int length = 0, addressHigh = 0, addressLow = 0, type = 0;

            if (! readByte (length, error) || ! readByte (addressHigh, error)
                || ! readByte (addressLow, error) || ! readByte (type, error))
                return error;

            int sum = length + addressHigh + addressLow + type;

            for (int i = 0; i < length; ++i)
            {
                int value = 0;

                if (! readByte (value, error))
                    return error;

                sum += value;
            }

            const auto checksumOffset = pos;
            int checksum = 0;

            if (! readByte (checksum, error))
                return error;

            if (((sum + checksum) & 0xff) != 0)
                return fault (checksumOffset, "HEX record checksum " + byteText ((uint8_t) checksum) + " should be "
                                                  + byteText ((uint8_t) (0x100 - (sum & 0xff))));

            static constexpr int expectedLength[] = { -1, 0, 2, 4, 2, 4 };

            if (type > 5)
                return fault (recordStart, "unknown HEX record type " + byteText ((uint8_t) type));

            if (expectedLength[type] >= 0 && length != expectedLength[type])
                return fault (recordStart, "HEX record of type " + byteText ((uint8_t) type) + " must carry "
                                               + std::to_string (expectedLength[type]) + " bytes, not " + std::to_string (length));

            isEndOfFile = type == 1;
            return {};
        }

        const uint8_t* data;
        size_t pos, end;
    };

    // Header length up to and including 33 70, or 0 when the header is malformed.
    size_t headerLength (const uint8_t* data, size_t size, Result& error)
    {
        const size_t manufacturerLength = size > 1 && data[1] == 0x00 ? 3 : 1;
        const auto processor = 1 + manufacturerLength;
        const auto length = processor + 3;

        if (size < length)
        {
            error = fault (size, "image too short for its SysEx header");
            return 0;
        }

        if (data[processor + 1] != 0x33)
        {
            error = fault (processor + 1, "expected 0x33 after the processor byte, found " + byteText (data[processor + 1]));
            return 0;
        }

        if (data[processor + 2] != 0x70)
        {
            error = fault (processor + 2, "expected 0x70 after 0x33, found " + byteText (data[processor + 2]));
            return 0;
        }

        return length;
    }
}

size_t FirmwareImageValidator::processorByteOffset (const uint8_t* data, size_t size)
{
    const size_t offset = size > 1 && data[1] == 0x00 ? 4 : 2;
    return offset < size ? offset : 0;
}

FirmwareImageValidator::Result FirmwareImageValidator::validate (const uint8_t* data, size_t size)
{
    if (size == 0)
        return fault (0, "empty image");

    if (data[0] != 0xf0)
        return fault (0, "expected F0 at the start of the image, found " + byteText (data[0]));

    const auto last = size - 1;

    for (size_t i = 1; i < last; ++i)
    {
        if (data[i] == 0xf0)
            return fault (i, "F0 inside the SysEx message");

        if (data[i] == 0xf7)
            return fault (i, "F7 before the end of the image");

        if (data[i] >= 0x80)
            return fault (i, "byte " + byteText (data[i]) + " is not 7-bit");
    }

    if (size < 2 || data[last] != 0xf7)
        return fault (size, "missing F7 at the end of the image");

    Result error;
    const auto header = headerLength (data, last, error);

    if (header == 0)
        return error;

    return HexTextParser (data, header, last).run();
}

FirmwareImageValidator::Result FirmwareImageValidator::validate (const uint8_t* data, size_t size, uint8_t expectedProcessor)
{
    auto result = validate (data, size);

    if (! result.ok)
        return result;

    const auto offset = processorByteOffset (data, size);

    if (data[offset] != expectedProcessor)
        return fault (offset, "processor byte " + byteText (data[offset]) + " should be " + byteText (expectedProcessor));

    return result;
}
