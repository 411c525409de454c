// voxa_render: arguments, outputs and exit statuses.
#include "tools/voxa_render.h"

#include "engine/context/pixel_files.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;
using testing::RunCommand;
using testing::WriteWholeFile;

struct RenderRun {
    int status;
    std::string out, err;
};

RenderRun Render(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int status = RunVoxaRender(args, out, err);
    return {status, out.str(), err.str()};
}

TEST(VoxaRenderArgs, ParsesEveryOption) {
    VoxaRenderArgs a;
    std::string error;
    ASSERT_TRUE(ParseVoxaRenderArgs({"--zb", "v.zb", "--size", "320x200", "--keys", "k.txt",
                                     "--cmap", "c.map", "--amap", "a.map", "--option",
                                     "ShowColorBar=1", "--option", "Floor=1 2 3 4", "--frames",
                                     "5", "--orbit", "10,-3", "--out", "f.png", "--timers",
                                     "t.pto", "--window", "--hold", "1.5", "--verbose"},
                                    a, &error))
        << error;
    EXPECT_EQ(a.zbFile, "v.zb");
    EXPECT_EQ(a.width, 320);
    EXPECT_EQ(a.height, 200);
    ASSERT_EQ(a.options.size(), 2u);
    EXPECT_EQ(a.options[1].first, "Floor");
    EXPECT_EQ(a.options[1].second, "1 2 3 4");
    EXPECT_EQ(a.frames, 5);
    EXPECT_EQ(a.orbitDx, 10);
    EXPECT_EQ(a.orbitDy, -3);
    EXPECT_TRUE(a.window);
    EXPECT_DOUBLE_EQ(a.holdSeconds, 1.5);
}

TEST(VoxaRenderArgs, RejectsBadValues) {
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--size", "640"},
                                               {"--size", "0x10"},
                                               {"--size", "20000x10"},
                                               {"--frames", "0"},
                                               {"--orbit", "3"},
                                               {"--option", "=1"},
                                               {"--out", "f.jpg"},
                                               {"--cmap", "c.map"},
                                               {"--zb"},
                                               {"--bogus"}}) {
        VoxaRenderArgs a;
        std::string error;
        EXPECT_FALSE(ParseVoxaRenderArgs(bad, a, &error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(VoxaRenderArgs, NumbersOutputsOfSeveralFrames) {
    EXPECT_EQ(NumberedOutput("f.png", 3, 1), "f.png");
    EXPECT_EQ(NumberedOutput("f.png", 3, 10), "f_0003.png");
    EXPECT_EQ(NumberedOutput("dir.v/f", 12, 20), "dir.v/f_0012");
}

TEST(VoxaRender, PngAndRawFilesHoldTheSameFrame) {
    FreshRoot root;
    std::string png = root.File("f.png"), pix = root.File("f.pix");
    RenderRun a = Render({"--size", "64x48", "--out", png});
    ASSERT_EQ(a.status, 0) << a.err;
    RenderRun b = Render({"--size", "64x48", "--out", pix});
    ASSERT_EQ(b.status, 0) << b.err;
    int w = 0, h = 0;
    std::string rgb;
    ASSERT_TRUE(ReadPngImage(png, w, h, rgb));
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 48);
    std::string raw = ReadWholeFile(pix);
    ASSERT_EQ(raw.size(), 64u * 48 * 3);
    // The PNG reader turns the file's top-down rows back to bottom-up ones.
    EXPECT_EQ(rgb, raw);
    // The built-in test volume's bright edges are in the frame.
    EXPECT_NE(raw.find_first_not_of('\0'), std::string::npos);
}

TEST(VoxaRender, WritesRawFramesNumberedAndBlackWhereNothingIsSeen) {
    FreshRoot root;
    // Looking away from the volume: every frame is black.
    std::string keys = root.File("away.keys");
    testing::WriteWholeFile(keys, "eye 0 0 10\ncenter 0 0 20\nup 0 1 0\n");
    std::string file = root.File("12.pix");  // two leading digits in the name
    RenderRun r = Render({"--size", "5x3", "--frames", "3", "--orbit", "10,0", "--keys", keys,
                          "--out", file, "--verbose"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int f = 0; f < 3; ++f) {
        std::string name = NumberedOutput(file, f, 3);
        EXPECT_EQ(ReadWholeFile(name), std::string(45, '\0')) << name;
        EXPECT_NE(r.out.find("wrote " + name), std::string::npos);
    }
}

TEST(VoxaRender, TimersFileGetsABatchPerFrame) {
    FreshRoot root;
    std::string timers = root.File("run.pto");
    RenderRun r = Render({"--size", "8x8", "--frames", "2", "--timers", timers});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string text = ReadWholeFile(timers);
    EXPECT_NE(text.find("Begin Rendering"), std::string::npos);
    EXPECT_NE(text.rfind("End   Rendering"), text.find("End   Rendering"));
}

TEST(VoxaRender, ReportsMissingInputFiles) {
    FreshRoot root;
    RenderRun r = Render({"--keys", root.File("none.txt")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("none.txt"), std::string::npos);
    WriteWholeFile(root.File("c.map"), "0 0 0 0\n");
    r = Render({"--cmap", root.File("c.map"), "--amap", root.File("a.map")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("opacity-map"), std::string::npos);
    // A mistyped volume name is an error here, not the built-in test volume.
    r = Render({"--zb", root.File("scan.zb")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot read the ZB file"), std::string::npos);
}

TEST(VoxaRender, BadVolumeFileSaysWhy) {
    FreshRoot root;
    WriteWholeFile(root.File("bad.zb"), "data.raw 0\n");  // a brick line of 2 tokens
    RenderRun r = Render({"--size", "8x8", "--zb", root.File("bad.zb")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot build the brick tree"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bad.zb"), std::string::npos);
}

TEST(VoxaRender, UnusableControlPointsAreReported) {
    FreshRoot root;
    WriteWholeFile(root.File("k.txt"), "notsac 2 0\nanot 0 0\nanot 300 1\n");
    RenderRun r = Render({"--size", "4x4", "--keys", root.File("k.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("'anot' indices outside 0..255"), std::string::npos) << r.err;
}

TEST(VoxaRender, KeywordFileIsAccepted) {
    FreshRoot root;
    WriteWholeFile(root.File("k.txt"),
                   "eye 0 0 5\ncenter 0 0 0\nup 0 1 0\nnotsac 2 2\nanot 0 0\nanot 255 1\n"
                   "cnot 0 0 0 0\ncnot 255 1 1 1\n");
    RenderRun r = Render({"--size", "4x4", "--keys", root.File("k.txt"), "--out", root.File("k.pix")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadWholeFile(root.File("k.pix")).size(), 48u);
}

TEST(VoxaRender, UnwritableOutputFails) {
    FreshRoot root;
    RenderRun r = Render({"--size", "4x4", "--out", root.File("no/dir/f.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("f.png"), std::string::npos);
}

TEST(VoxaRender, WindowWithoutDisplayFailsClearly) {
    FreshRoot root;
    testing::ScopedEnv noDisplay("DISPLAY", nullptr);
    RenderRun r = Render({"--window", "--size", "4x4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("DISPLAY"), std::string::npos);
    EXPECT_NE(ReadWholeFile(root.File("DEBUG_VOXA.txt")).find("produced NULL"), std::string::npos);
}

TEST(VoxaRender, ProgramHelpAndBadArgument) {
    FreshRoot root;
    std::string bin = std::string(VOXA_BIN_DIR) + "/voxa_render";
    testing::CommandResult help = RunCommand(bin + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--size WxH"), std::string::npos);
    testing::CommandResult bad = RunCommand(bin + " --nonsense 2>/dev/null");
    EXPECT_EQ(bad.status, 2);
}

}  // namespace
}  // namespace voxa
