#include "TestFirmwareGenerator.h"

#include <stdexcept>

namespace TestFirmwareGenerator
{
    namespace
    {
        constexpr size_t fullRecordSize = 45;         // ':' + 2 * (5 + 16) hex digits + CR LF
        constexpr size_t segmentRecordSize = 17;      // ":02000004xxxxcc" + CR LF
        constexpr size_t startAddressRecordSize = 21; // ":04000005xxxxxxxxcc" + CR LF
        constexpr uint32_t controlStartAddress = 0x080040ed;

        size_t shortRecordSize (int dataBytes) { return 13 + 2 * (size_t) dataBytes; }

        // xorshift32: a fixed sequence per seed, so every build embeds the same bytes.
        class Noise
        {
        public:
            explicit Noise (uint32_t seed) : state (seed != 0 ? seed : 1) {}

            uint8_t next()
            {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                return (uint8_t) (state >> 24);
            }

        private:
            uint32_t state;
        };

        class HexTextWriter
        {
        public:
            HexTextWriter (std::vector<uint8_t>& o, bool upper) : out (o), digits (upper ? "0123456789ABCDEF" : "0123456789abcdef") {}

            void record (uint8_t type, uint16_t address, const std::vector<uint8_t>& payload, bool lineEnd)
            {
                out.push_back (':');
                int sum = 0;
                auto put = [&] (uint8_t b)
                {
                    out.push_back ((uint8_t) digits[b >> 4]);
                    out.push_back ((uint8_t) digits[b & 15]);
                    sum += b;
                };

                put ((uint8_t) payload.size());
                put ((uint8_t) (address >> 8));
                put ((uint8_t) address);
                put (type);

                for (auto b : payload)
                    put (b);

                put ((uint8_t) (0x100 - (sum & 0xff)));

                if (lineEnd)
                {
                    out.push_back ('\r');
                    out.push_back ('\n');
                }
            }

        private:
            std::vector<uint8_t>& out;
            const char* digits;
        };

        // Splits the bytes left at the end into full records and runs that end in a
        // short record: every record size is odd, so the count of each kind must fit.
        bool planTail (size_t remaining, int& fullRecords, std::vector<int>& shortRecords)
        {
            for (int full = 0; full <= 4; ++full)
            {
                if ((size_t) full * fullRecordSize > remaining)
                    break;

                const auto left = remaining - (size_t) full * fullRecordSize;

                for (int count = 1; count <= 3; ++count)
                {
                    const auto smallest = shortRecordSize (1) * (size_t) count;
                    const auto largest = shortRecordSize (15) * (size_t) count;

                    if (left < smallest || left > largest || (left - smallest) % 2 != 0)
                        continue;

                    fullRecords = full;
                    shortRecords.assign ((size_t) count, 1);
                    auto extraBytes = (int) ((left - smallest) / 2);

                    for (auto& n : shortRecords)
                    {
                        const auto add = std::min (extraBytes, 14);
                        n += add;
                        extraBytes -= add;
                    }

                    return true;
                }
            }

            return false;
        }

        class ImageBuilder
        {
        public:
            ImageBuilder (const ImageKind& k, std::vector<uint8_t>& o)
                : kind (k), out (o), hex (o, k.upperCaseDigits), noise (k.seed), upper (k.firstUpperAddress)
            {
            }

            void build()
            {
                out = kind.header;

                const size_t trailer = 11 + (kind.controlLayout ? 2 + startAddressRecordSize : 0) + 1;

                if (kind.size < out.size() + segmentRecordSize + trailer)
                    throw std::runtime_error (kind.fileName + ": size too small for a HEX image");

                const auto textEnd = kind.size - trailer;
                segmentRecord();

                // Stop with room for a tail that is solvable for every remainder.
                while (textEnd - out.size() > 180)
                {
                    dataRecord (16);

                    if (address == 0)
                    {
                        ++upper;
                        segmentRecord();
                    }
                }

                // A tail must not cross a 64 KiB boundary, which would need a further record.
                if (address > 0xff00)
                {
                    address = 0;
                    ++upper;
                    segmentRecord();
                }

                int fullRecords = 0;
                std::vector<int> shortRecords;

                if (! planTail (textEnd - out.size(), fullRecords, shortRecords))
                    throw std::runtime_error (kind.fileName + ": no record layout fills the image exactly");

                for (int i = 0; i < fullRecords; ++i)
                    dataRecord (16);

                for (auto n : shortRecords)
                {
                    dataRecord (n);
                    address = (uint16_t) ((address + 0x20) & ~0x0f); // gap: the next run starts further on
                }

                if (kind.controlLayout)
                {
                    const auto a = controlStartAddress;
                    hex.record (5, 0, { (uint8_t) (a >> 24), (uint8_t) (a >> 16), (uint8_t) (a >> 8), (uint8_t) a }, true);
                }

                hex.record (1, 0, {}, kind.controlLayout);
                out.push_back (0xf7);

                if (out.size() != kind.size)
                    throw std::runtime_error (kind.fileName + ": generated " + std::to_string (out.size()) + " bytes instead of " + std::to_string (kind.size));
            }

        private:
            void segmentRecord() { hex.record (4, 0, { (uint8_t) (upper >> 8), (uint8_t) upper }, true); }

            void dataRecord (int n)
            {
                std::vector<uint8_t> payload ((size_t) n);

                for (auto& b : payload)
                    b = noise.next();

                hex.record (0, address, payload, true);
                address = (uint16_t) (address + n);
            }

            const ImageKind& kind;
            std::vector<uint8_t>& out;
            HexTextWriter hex;
            Noise noise;
            uint16_t upper;
            uint16_t address = 0;
        };
    }

    std::vector<ImageKind> packageImages()
    {
        const std::vector<uint8_t> audio { 0xf0, 0x47, 0x10, 0x33, 0x70 };
        const std::vector<uint8_t> graphics { 0xf0, 0x47, 0x20, 0x33, 0x70 };
        const std::vector<uint8_t> control { 0xf0, 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 };

        // Both asset images share a seed: they differ only in the processor byte.
        return {
            { "RZ41_appap.syx", audio, 706120, 0x0804, false, false, 0x41505031 },
            { "RZ41_appga.syx", graphics, 686185, 0x0804, false, false, 0x47465831 },
            { "RZ41_apptr.syx", control, 65077, 0x0800, true, true, 0x43544c31 },
            { "RZ41_assetsap.syx", audio, 8266441, 0x0810, false, false, 0x41535431 },
            { "RZ41_assetsga.syx", graphics, 8266441, 0x0810, false, false, 0x41535431 },
        };
    }

    std::vector<uint8_t> generate (const ImageKind& kind)
    {
        std::vector<uint8_t> out;
        out.reserve (kind.size);
        ImageBuilder (kind, out).build();
        return out;
    }
}
