#include "firmware/FirmwareImageValidator.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
    using Bytes = std::vector<uint8_t>;

    const std::string records = ":020000040804ee\r\n:0400000001020304F2\r\n:00000001ff";

    Bytes image (const std::string& text, Bytes header = { 0xf0, 0x47, 0x10, 0x33, 0x70 })
    {
        Bytes bytes = std::move (header);
        bytes.insert (bytes.end(), text.begin(), text.end());
        bytes.push_back (0xf7);
        return bytes;
    }

    FirmwareImageValidator::Result check (const Bytes& bytes)
    {
        return FirmwareImageValidator::validate (bytes.data(), bytes.size());
    }

    // Offset of the first occurrence of `what` in the image bytes.
    size_t offsetOf (const Bytes& bytes, const std::string& what)
    {
        const std::string asText (bytes.begin(), bytes.end());
        return asText.find (what);
    }
}

TEST (FirmwareImageValidator, AcceptsWellFormedImagesOfBothHeaderForms)
{
    EXPECT_TRUE (check (image (records)).ok);
    EXPECT_TRUE (check (image (records + "\r\n", { 0xf0, 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 })).ok);

    const auto control = image (records, { 0xf0, 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 });
    EXPECT_TRUE (FirmwareImageValidator::validate (control.data(), control.size(), 0x00).ok);
    EXPECT_EQ (FirmwareImageValidator::processorByteOffset (control.data(), control.size()), 4u);
}

TEST (FirmwareImageValidator, NamesTheChecksumOfARecordThatDoesNotAddUp)
{
    const auto bytes = image (":020000040804ee\r\n:0400000001020304F3\r\n:00000001ff");
    const auto result = check (bytes);

    EXPECT_FALSE (result.ok);
    EXPECT_EQ (result.offset, offsetOf (bytes, "F3"));
    EXPECT_NE (result.problem.find ("checksum"), std::string::npos);
}

TEST (FirmwareImageValidator, RejectsStatusBytesAndEightBitBytesInsideTheMessage)
{
    auto withF0 = image (records);
    withF0[20] = 0xf0;
    EXPECT_EQ (check (withF0).offset, 20u);
    EXPECT_NE (check (withF0).problem.find ("F0"), std::string::npos);

    auto withHighByte = image (records);
    withHighByte[31] = 0x80;
    EXPECT_FALSE (check (withHighByte).ok);
    EXPECT_EQ (check (withHighByte).offset, 31u);

    auto earlyF7 = image (records);
    earlyF7[9] = 0xf7;
    EXPECT_EQ (check (earlyF7).offset, 9u);
}

TEST (FirmwareImageValidator, RejectsAMissingStartOrEnd)
{
    auto noF7 = image (records);
    noF7.pop_back();
    const auto result = check (noF7);
    EXPECT_FALSE (result.ok);
    EXPECT_EQ (result.offset, noF7.size());
    EXPECT_NE (result.problem.find ("F7"), std::string::npos);

    auto noF0 = image (records);
    noF0[0] = 0x47;
    EXPECT_EQ (check (noF0).offset, 0u);

    EXPECT_FALSE (check ({}).ok);
    EXPECT_FALSE (check ({ 0xf0 }).ok);
    EXPECT_FALSE (check ({ 0xf0, 0xf7 }).ok);
}

TEST (FirmwareImageValidator, RejectsATruncatedRecord)
{
    // The data record stops after two of its four bytes, straight into the next line.
    const auto bytes = image (":020000040804ee\r\n:04000000010203\r\n:00000001ff");
    const auto result = check (bytes);

    EXPECT_FALSE (result.ok);
    EXPECT_EQ (result.offset, offsetOf (bytes, "03\r\n:00") + 2);

    // A record cut off by the end of the image.
    const auto cut = image (":020000040804ee\r\n:04000000010");
    EXPECT_EQ (check (cut).offset, cut.size() - 1);
}

TEST (FirmwareImageValidator, RequiresAnEndOfFileRecordLast)
{
    const auto missing = image (":020000040804ee\r\n:0400000001020304F2\r\n");
    EXPECT_FALSE (check (missing).ok);
    EXPECT_EQ (check (missing).offset, missing.size() - 1);
    EXPECT_NE (check (missing).problem.find ("end-of-file"), std::string::npos);

    const auto trailing = image (records + "\r\n:0400000001020304F2");
    EXPECT_EQ (check (trailing).offset, offsetOf (trailing, ":00000001ff") + 13);
}

TEST (FirmwareImageValidator, RejectsBrokenRecordSyntax)
{
    const auto noSeparator = image (":020000040804ee:00000001ff");
    EXPECT_EQ (check (noSeparator).offset, offsetOf (noSeparator, ":00000001ff"));

    const auto badDigit = image (":020000040804eg\r\n:00000001ff");
    EXPECT_EQ (check (badDigit).offset, offsetOf (badDigit, "g"));

    const auto wrongLength = image (":03000004080400ed\r\n:00000001ff");
    EXPECT_EQ (check (wrongLength).offset, 5u);

    const auto badHeader = image (records, { 0xf0, 0x47, 0x10, 0x34, 0x70 });
    EXPECT_EQ (check (badHeader).offset, 3u);
}

TEST (FirmwareImageValidator, ChecksTheProcessorByteWhenAsked)
{
    const auto audio = image (records);
    const auto result = FirmwareImageValidator::validate (audio.data(), audio.size(), 0x20);

    EXPECT_FALSE (result.ok);
    EXPECT_EQ (result.offset, 2u);
}
