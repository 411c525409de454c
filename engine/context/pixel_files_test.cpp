// Frame file names, raw frames and PNG output.
#include "engine/context/pixel_files.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

namespace voxa {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;

TEST(FrameFileName, TwoLeadingDigitsNumberTheImageName) {
    EXPECT_EQ(FrameFileName("07", "frame"), "frame_07");
    EXPECT_EQ(FrameFileName("07", "Test_Image.pix"), "Test_Image.pix_07");
    EXPECT_EQ(FrameFileName("123", "frame"), "frame_12");
    EXPECT_EQ(FrameFileName("7a", "frame"), "7a");
    EXPECT_EQ(FrameFileName("a7", "frame"), "a7");
    EXPECT_EQ(FrameFileName("out.pix", "frame"), "out.pix");
    EXPECT_EQ(FrameFileName("99", std::string(150, 'n')), std::string(99, 'n') + "_99");
}

TEST(RawImage, WritesTheBytesAsTheyAre) {
    TempDir dir;
    const uint8_t rgb[6] = {0xFF, 0, 0, 0, 0, 0xFF};
    ASSERT_TRUE(WriteRawImage(dir.File("x.pix"), rgb));
    EXPECT_EQ(ReadWholeFile(dir.File("x.pix")), std::string("\xFF\0\0\0\0\xFF", 6));
    EXPECT_FALSE(WriteRawImage(dir.File("no/such/dir.pix"), rgb));
}

TEST(PngImage, TopRowOfThePngIsTheLastRowOfTheFrame) {
    TempDir dir;
    // 2 x 2: bottom row red, green; top row blue, white.
    const uint8_t rgb[12] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
    std::string file = dir.File("f.png");
    ASSERT_TRUE(WritePngImage(file, 2, 2, rgb).ok());
    EXPECT_EQ(ReadWholeFile(file).substr(1, 3), "PNG");
    int w = 0, h = 0;
    std::string back;
    ASSERT_TRUE(ReadPngImage(file, w, h, back));
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(back, std::string(reinterpret_cast<const char*>(rgb), 12));
}

TEST(PngImage, RefusesAMismatchedSize) {
    TempDir dir;
    const uint8_t rgb[6] = {};
    Status s = WritePngImage(dir.File("f.png"), 3, 1, rgb);
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.message(), "frame size does not match its pixels");
    s = WritePngImage(dir.File("no/dir/f.png"), 2, 1, rgb);
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.message(), "cannot create the file");
}

}  // namespace
}  // namespace voxa
