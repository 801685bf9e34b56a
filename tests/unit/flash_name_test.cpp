// The name a file gets in the serial flash, and which names may travel in
// the one-line write command.
#include "app/saber/flash_name.h"

#include <gtest/gtest.h>

namespace hp {
namespace {

std::string Named(unsigned char Byte)
{
    return std::string("a") + static_cast<char>(Byte) + "b.wav";
}

// Every edge of the refused ranges: the control bytes up to 0x1F and DEL
// are refused; space, '~', and the bytes above DEL travel as they are.
TEST(FlashName, ControlBytesAndDeleteAreRefusedAtEveryEdge)
{
    for (unsigned char refused : {0x00, 0x01, 0x0A, 0x0D, 0x1F, 0x7F})
        EXPECT_FALSE(IsSafeFlashName(Named(refused))) << "byte " << int(refused);
    for (unsigned char kept : {0x20, 0x21, 0x7E, 0x80, 0xA0, 0xFF})
        EXPECT_TRUE(IsSafeFlashName(Named(kept))) << "byte " << int(kept);
    // The refused byte is found wherever it stands.
    EXPECT_FALSE(IsSafeFlashName(std::string("\x1F") + "song.wav"));
    EXPECT_FALSE(IsSafeFlashName(std::string("song.wav") + "\x1F"));
    EXPECT_FALSE(IsSafeFlashName(std::string(1, '\0')));
    EXPECT_TRUE(IsSafeFlashName("song.wav"));
    EXPECT_TRUE(IsSafeFlashName(""));
}

// The last component after any of the three separators, as is.
TEST(FlashName, IsTheLastComponentAfterAnySeparator)
{
    EXPECT_EQ(FlashNameOf("song.wav"), "song.wav");
    EXPECT_EQ(FlashNameOf("dir/song.wav"), "song.wav");
    EXPECT_EQ(FlashNameOf("C:\\sounds\\hum.wav"), "hum.wav");
    EXPECT_EQ(FlashNameOf("C:hum.wav"), "hum.wav");
    EXPECT_EQ(FlashNameOf("a/b\\c:d.wav"), "d.wav");
    EXPECT_EQ(FlashNameOf("dir/"), "");
    EXPECT_EQ(FlashNameOf("odd\x01" "dir/fine.wav"), "fine.wav");
    EXPECT_EQ(DirectoryPart("a/b\\c:d.wav"), "a/b\\c:");
    EXPECT_EQ(DirectoryPart("song.wav"), "");
}

} // namespace
} // namespace hp
