// How a log backup steps from one WAL segment file name to the next: a log id holds 0xFF
// segments of 16 MB from 9.3 on and 0xFE before; other segment sizes hold fewer.
#include "logbackup/PGLogBackup.h"

#include "PGFailure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using pgulo::test::PGFailure;

TEST(NextLogNumber, StepsToTheFollowingSegment) {
    const struct {
        const char* current;
        std::uint64_t maxSegmentNum;
        const char* next;
    } steps[] = {
        {"000000010000000000000000", 0xFF, "000000010000000000000001"},
        {"0000000100000003000000FE", 0xFF, "0000000100000003000000FF"},
        {"0000000100000003000000FF", 0xFF, "000000010000000400000000"},
        {"0000000100000003000000FD", 0xFE, "0000000100000003000000FE"},
        {"0000000100000003000000FE", 0xFE, "000000010000000400000000"},
        {"00000001FFFFFFFE000000FF", 0xFF, "00000001FFFFFFFF00000000"},
        {"00000001000000050000003E", 62, "000000010000000600000000"},
        {"00000001000000050000003E", 63, "00000001000000050000003F"},
        {"000000020000000A00000002", 2, "000000020000000B00000000"},
        {"000000020000000A00000002", 3, "000000020000000A00000003"},
        // The time line is carried over as it stands.
        {"0000000A00000000000000F3", 0xFF, "0000000A00000000000000F4"},
        {"0000000a00000000000000FE", 0xFE, "0000000a0000000100000000"},
        // Lower-case digits are read; the new name is written in upper case.
        {"00000001000000030000000a", 0xFF, "00000001000000030000000B"},
        {"00000001000000ab000000ff", 0xFF, "00000001000000AC00000000"},
        // A segment number past the last one starts the next log id.
        {"000000010000000300000100", 0xFF, "000000010000000400000000"},
        // A non-hexadecimal character ends the number where it stands.
        {"000000010000000300000005.partial", 0xFF, "000000010000000300000006"},
        {"000000010000000G00000001", 0xFF, "000000010000000000000002"},
        {"0000000100000003000000F", 0xFF, "000000010000000300000010"},
        {"00000001000000030", 0xFF, "000000010000000300000001"},
    };
    for (const auto& s : steps)
        EXPECT_EQ(PGLogBackup::NextLogNumber(s.current, s.maxSegmentNum), s.next) << s.current;
}

TEST(NextLogNumber, RefusesWhatIsNoSegmentName) {
    for (const char* name : {"", "0000000100000003", "00000001XXXXXXXX00000001",
                             "0000000100000003 0000001", "0000000100000003x0000001",
                             "0000000100000003FFFFFFFFF", "garbage-garbage-garbage!"}) {
        const std::string failure = PGFailure([&] { PGLogBackup::NextLogNumber(name, 0xFF); });
        EXPECT_NE(failure.find("APPLICATION_EXCEPTION]\tMsg:[Log file names should be Hex"),
                  std::string::npos)
            << name << ": " << failure;
    }
}

TEST(HexDigits, ConvertBothWaysAndRefuseAnythingElse) {
    const std::string digits = "0123456789ABCDEF";
    for (int value = 0; value < 16; ++value) {
        EXPECT_EQ(PGLogBackup::ConvertDecimalToHex(value), digits[value]);
        EXPECT_EQ(PGLogBackup::ConvertHexToDecimal(digits[value]), value);
    }
    for (int value : {-1, 16, 255})
        EXPECT_THROW(PGLogBackup::ConvertDecimalToHex(value), PGException) << value;
    for (char digit : {'a', 'f', 'G', 'g', ' ', '/', ':', '@', '\0'})
        EXPECT_THROW(PGLogBackup::ConvertHexToDecimal(digit), PGException) << int(digit);
}

} // namespace
