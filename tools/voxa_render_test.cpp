// voxa_render: arguments, outputs and exit statuses.
#include "tools/voxa_render.h"

#include "engine/bricks/zb_writer.h"

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
    Status s = ParseVoxaRenderArgs({"--zb", "v.zb", "--size", "320x200", "--keys", "k.txt",
                                     "--cmap", "c.map", "--amap", "a.map", "--option",
                                     "ShowColorBar=1", "--option", "Floor=1 2 3 4", "--frames",
                                     "5", "--orbit", "10,-3", "--out", "f.png", "--timers",
                                     "t.pto", "--window", "--hold", "1.5", "--verbose"},
                                   a);
    ASSERT_TRUE(s.ok()) << s.message();
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
        Status s = ParseVoxaRenderArgs(bad, a);
        EXPECT_FALSE(s.ok()) << bad[0];
        EXPECT_FALSE(s.message().empty());
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

// A tree whose brick data cannot be read (data file missing or cut short,
// a brick larger than the cache) renders without those bricks; the frame
// is written, but the run fails and says why.
TEST(VoxaRender, BrickDataThatCannotBeReadFailsTheRun) {
    FreshRoot root;
    SourceVolume v;
    v.nx = v.ny = v.nz = 40;
    for (int i = 0; i < 40 * 40 * 40; ++i) v.values.push_back(static_cast<float>((i * 7) % 200 + 50));
    ZbMakeOptions opt;
    opt.brick = 16;
    ASSERT_TRUE(MakeZb(v, root.File("t/v.zb"), opt).ok());
    const std::string data = root.File("t/data_v.raw");
    const std::string keys = root.File("near.keys");
    WriteWholeFile(keys, "eye 3 2 1.5\ncenter 0 0 0\nup 0 0 1\ntolerances 0 0 0\n");
    const std::vector<std::string> args = {"--size", "48x48", "--keys", keys, "--zb", root.File("t/v.zb"),
                                           "--out", root.File("f.png")};
    RenderRun good = Render(args);
    ASSERT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.err, "");
    int w = 0, h = 0;
    std::string whole;
    ASSERT_TRUE(ReadPngImage(root.File("f.png"), w, h, whole));
    ASSERT_NE(whole.find_first_not_of('\0'), std::string::npos);

    // Cut short: the second half of the data is gone.
    const std::string bytes = ReadWholeFile(data);
    WriteWholeFile(data, bytes.substr(0, bytes.size() / 2));
    RenderRun cut = Render(args);
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("could not be read (left out of the frame): cannot read data file"),
              std::string::npos)
        << cut.err;
    EXPECT_NE(cut.err.find("data_v.raw"), std::string::npos) << cut.err;
    std::string part;
    ASSERT_TRUE(ReadPngImage(root.File("f.png"), w, h, part));  // still written
    EXPECT_NE(part, whole);

    // Missing.
    std::remove(data.c_str());
    RenderRun missing = Render(args);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read data file"), std::string::npos) << missing.err;

    // A brick larger than the cache.
    WriteWholeFile(data, bytes);
    SourceVolume big;
    big.nx = big.ny = big.nz = 110;  // one root brick of 112^3 bytes: more than 1 MiB
    big.values.assign(110 * 110 * 110, 0.0f);
    for (size_t i = 0; i < big.values.size(); ++i) big.values[i] = static_cast<float>(i % 97);
    ZbMakeOptions one;
    one.brick = 128;
    ASSERT_TRUE(MakeZb(big, root.File("b/v.zb"), one).ok());
    std::vector<std::string> small = {"--size", "48x48", "--keys", keys, "--zb", root.File("b/v.zb"),
                                      "--option", "NCacheMB=1", "--out", root.File("g.png")};
    RenderRun tooBig = Render(small);
    EXPECT_EQ(tooBig.status, 1) << tooBig.err;
    EXPECT_NE(tooBig.err.find("do not fit the"), std::string::npos) << tooBig.err;
}

// Map files that are not maps are refused with the line that is wrong.
TEST(VoxaRender, MapFilesThatAreNotMapsAreRefused) {
    FreshRoot root;
    std::string good;
    for (int j = 0; j < 64; ++j) {
        for (int g = 0; g < 4; ++g) {
            const int i = j + 64 * g;
            good += std::to_string(i) + " " + std::to_string(i) + " " + std::to_string(255 - i) + " 7" +
                    (g < 3 ? " " : "\n");
        }
    }
    WriteWholeFile(root.File("good.map"), good);
    std::string random;
    for (int i = 0; i < 3000; ++i) random += static_cast<char>((i * 2654435761u) >> 13);
    std::string outside = good;
    outside.replace(outside.find("\n3 3 252 7") + 1 + 4, 3, "999");  // line 4, red of entry 3
    struct Case {
        const char* name;
        std::string content;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"random.map", random, ":1: '"},
        {"text.map", "this is not a colour map\n", ":1: 'this' is not an integer"},
        {"short.map", good.substr(0, good.find('\n') + 1), ": ends after 1 lines"},
        {"outside.map", outside, ":4: colour value 999 is outside 0..255"},
        {"fields.map", "1 2 3\n", ":1: 3 numbers; a map line has 16"},
        {"long.map", good + good, ":65: a map file has 64 lines"},
    };
    for (const Case& c : cases) {
        WriteWholeFile(root.File(c.name), c.content);
        RenderRun r = Render({"--size", "8x8", "--cmap", root.File(c.name), "--amap", root.File("good.map")});
        EXPECT_EQ(r.status, 2) << c.name;
        EXPECT_NE(r.err.find("not a colour-map file: " + root.File(c.name) + c.says), std::string::npos)
            << c.name << ": " << r.err;
        r = Render({"--size", "8x8", "--cmap", root.File("good.map"), "--amap", root.File(c.name)});
        EXPECT_EQ(r.status, 2) << c.name;
        EXPECT_NE(r.err.find("not an opacity-map file: "), std::string::npos) << c.name << ": " << r.err;
    }
    RenderRun dir = Render({"--size", "8x8", "--cmap", root.File(""), "--amap", root.File("good.map")});
    EXPECT_EQ(dir.status, 2);
    EXPECT_NE(dir.err.find("is a directory, not a map file"), std::string::npos) << dir.err;
    // The good pair renders; a trailing blank line and CRLF ends are fine.
    std::string crlf;
    for (char ch : good) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    WriteWholeFile(root.File("crlf.map"), crlf + "\n");
    RenderRun ok = Render({"--size", "8x8", "--cmap", root.File("good.map"), "--amap", root.File("crlf.map")});
    EXPECT_EQ(ok.status, 0) << ok.err;
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
