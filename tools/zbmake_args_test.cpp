#include "tools/zbmake_args.h"

#include "tools/number_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace voxa {
namespace {

TEST(ZbMakeArgs, ReadsEveryOption) {
    ZbMakeArgs a;
    Status s = ParseZbMakeArgs({"in.raw", "--dims", "30,20,10", "--type", "u16", "--spacing", "0.5,1,2.25", "--range",
                                "-3.5,1e3", "--brick", "32", "--overlap", "2", "--dirs", "/a,,/b", "out.zb",
                                "--quiet"},
                               a);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(a.input, "in.raw");
    EXPECT_EQ(a.output, "out.zb");
    ASSERT_TRUE(a.dims.has_value());
    EXPECT_EQ(*a.dims, (std::array<int, 3>{30, 20, 10}));
    EXPECT_EQ(a.type, RawType::kU16);
    EXPECT_EQ(a.spacing, (std::array<float, 3>{0.5f, 1.0f, 2.25f}));
    ASSERT_TRUE(a.options.range.has_value());
    EXPECT_EQ((*a.options.range)[0], -3.5);
    EXPECT_EQ((*a.options.range)[1], 1000.0);
    EXPECT_EQ(a.options.brick, 32);
    EXPECT_EQ(a.options.overlap, 2);
    EXPECT_EQ(a.options.otherDirs, (std::vector<std::string>{"/a", "", "/b"}));
    EXPECT_TRUE(a.quiet);
    EXPECT_FALSE(a.singleFile);
    EXPECT_FALSE(a.help);

    // Defaults: NIfTI input, 64-voxel bricks with one voxel of overlap.
    ZbMakeArgs d;
    ASSERT_TRUE(ParseZbMakeArgs({"head.nii.gz", "head.zb", "--single-file"}, d).ok());
    EXPECT_FALSE(d.dims.has_value());
    EXPECT_EQ(d.type, RawType::kU8);
    EXPECT_EQ(d.options.brick, 64);
    EXPECT_EQ(d.options.overlap, 1);
    EXPECT_FALSE(d.options.range.has_value());
    EXPECT_TRUE(d.singleFile);
    EXPECT_FALSE(d.quiet);
}

TEST(ZbMakeArgs, HelpAndInfoEndTheParse) {
    ZbMakeArgs h;
    ASSERT_TRUE(ParseZbMakeArgs({"--help", "--no-such-option"}, h).ok());
    EXPECT_TRUE(h.help);
    ZbMakeArgs i;
    ASSERT_TRUE(ParseZbMakeArgs({"--info", "t.zb", "extra", "--bogus"}, i).ok());
    EXPECT_EQ(i.info, "t.zb");
    // An option before them is still read, and refused when wrong.
    ZbMakeArgs bad;
    EXPECT_FALSE(ParseZbMakeArgs({"--brick", "x", "--help"}, bad).ok());
}

TEST(ZbMakeArgs, RefusesMalformedArguments) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"in", "out.zb", "--dims", "30,20"}, "--dims needs X,Y,Z"},
        {{"in", "out.zb", "--dims", "30,20,10,5"}, "--dims needs X,Y,Z"},
        {{"in", "out.zb", "--dims", "30,2.5,10"}, "--dims needs X,Y,Z"},
        {{"in", "out.zb", "--dims"}, "--dims needs X,Y,Z"},
        {{"in", "out.zb", "--type", "i16"}, "--type must be u8, u16 or f32"},
        {{"in", "out.zb", "--spacing", "1,x,1"}, "--spacing needs X,Y,Z"},
        {{"in", "out.zb", "--range", "0"}, "--range needs LO,HI"},
        {{"in", "out.zb", "--range", "0,"}, "--range needs LO,HI"},
        {{"in", "out.zb", "--brick", "64k"}, "--brick needs a number"},
        {{"in", "out.zb", "--brick", ""}, "--brick needs a number"},
        {{"in", "out.zb", "--overlap"}, "--overlap needs a number"},
        {{"in", "out.zb", "--dirs"}, "--dirs needs directories"},
        {{"in", "out.zb", "--info"}, "--info needs a ZB file"},
        {{"in", "out.zb", "--frobnicate"}, "unknown option --frobnicate"},
        {{"in"}, "needs INPUT and OUTPUT.zb"},
        {{"in", "out.zb", "third"}, "needs INPUT and OUTPUT.zb"},
        {{"in", "out.zb", "--single-file", "--dirs", "/c"}, "--single-file and --dirs cannot be combined"},
    };
    for (const Case& c : cases) {
        ZbMakeArgs a;
        Status s = ParseZbMakeArgs(c.args, a);
        EXPECT_FALSE(s.ok()) << c.message;
        EXPECT_EQ(s.code(), StatusCode::kInvalidArgument) << c.message;
        EXPECT_NE(s.message().find(c.message), std::string::npos) << c.message << " / " << s.message();
    }
}

TEST(NumberArgs, WholeTextMustBeTheNumber) {
    int i = 7;
    EXPECT_TRUE(ParseIntArg("-42", i));
    EXPECT_EQ(i, -42);
    for (const char* bad : {"", "4x", "x4", "1e3", "2000000000", "-1000000001"}) {
        int keep = 7;
        EXPECT_FALSE(ParseIntArg(bad, keep)) << bad;
        EXPECT_EQ(keep, 7) << bad;  // untouched on failure
    }
    double d = 0;
    EXPECT_TRUE(ParseDoubleArg("2.5e-1", d));
    EXPECT_EQ(d, 0.25);
    EXPECT_FALSE(ParseDoubleArg("", d));
    EXPECT_FALSE(ParseDoubleArg("1.5s", d));
    int w = 0, h = 0;
    EXPECT_TRUE(ParseIntPairArg("640x480", 'x', w, h));
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    EXPECT_FALSE(ParseIntPairArg("640,480", 'x', w, h));
    EXPECT_FALSE(ParseIntPairArg("640x", 'x', w, h));
    std::vector<double> list;
    EXPECT_TRUE(ParseListArg<double>("1,-2.5,3", 3, ParseDoubleArg, list));
    EXPECT_EQ(list, (std::vector<double>{1, -2.5, 3}));
    EXPECT_FALSE(ParseListArg<double>("1,,3", 3, ParseDoubleArg, list));
    EXPECT_FALSE(ParseListArg<double>("1,2", 3, ParseDoubleArg, list));
}

}  // namespace
}  // namespace voxa
