// zbmake: builds a brick tree (ZB file + data file) from a raw volume or a
// NIfTI-1 file, or describes an existing ZB file (--info).
#include "tools/zbmake.h"
#include "tools/zb_single_file.h"
#include "platform/paths.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: zbmake INPUT OUTPUT.zb [options]\n"
    "       zbmake --info FILE.zb\n"
    "\n"
    "Builds a brick tree for the VOXA engine: OUTPUT.zb (the index) and a data\n"
    "file data_<name>.raw beside it. INPUT is a NIfTI-1 file (.nii or .nii.gz)\n"
    "or, with --dims, a raw volume (x fastest, native byte order).\n"
    "Bricks at the volume's far faces, and the root, hold only the voxels left\n"
    "in the volume plus their margins, so the box at the world limits (longest\n"
    "side -1 .. 1, centred, shaped by the voxel spacing) hugs the data.\n"
    "\n"
    "options:\n"
    "  --dims X,Y,Z        raw input dimensions\n"
    "  --type u8|u16|f32   raw voxel type (default u8)\n"
    "  --spacing X,Y,Z     voxel spacing of raw input (default 1,1,1)\n"
    "  --range LO,HI       values mapped to bytes 0 and 255 (default: data range)\n"
    "  --brick N           brick side in voxels, margins included (default 64)\n"
    "  --overlap N         overlap margin on each side (default 1)\n"
    "  --dirs D1,D2,...    also write the data file into these directories and\n"
    "                      list them in otherdirs.txt (one reader per directory)\n"
    "  --single-file       write the tree as one file OUTPUT.zb: the index in its\n"
    "                      first 131,072 bytes, the bricks after it (the layout\n"
    "                      that fileport_gui copies and prunes)\n"
    "  --quiet             no progress on stderr\n"
    "  --info FILE.zb      load a ZB file and print its bricks, levels, errors\n"
    "                      and limits; exit 1 when it cannot be used\n"
    "  --help              this text\n";

constexpr char kRawHint[] = " (raw input needs --dims X,Y,Z --type u8|u16|f32)";

bool ParseList(const std::string& text, std::vector<double>& out, size_t want) {
    out.clear();
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        double v = std::strtod(item.c_str(), &end);
        if (end == item.c_str() || *end != '\0') return false;
        out.push_back(v);
    }
    return out.size() == want;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "zbmake: %s\n", message.c_str());
    return 2;
}

// Builds the tree in a scratch directory beside the output, then packs it
// into one file.
voxa::MakeStatus MakeSingleFile(const voxa::SourceVolume& vol, const std::string& out,
                                const voxa::ZbMakeOptions& opt, voxa::ZbMakeReport* report) {
    size_t cut = out.find_last_of('/');
    std::string scratch = (cut == std::string::npos ? std::string(".") : out.substr(0, cut)) + "/.zbmake_XXXXXX";
    if (cut != std::string::npos && !voxa::MakeDirs(out.substr(0, cut + 1)))
        return voxa::MakeStatus::Fail(out.substr(0, cut + 1) + ": cannot create");
    if (::mkdtemp(scratch.data()) == nullptr) return voxa::MakeStatus::Fail(scratch + ": cannot create");
    const std::string name = cut == std::string::npos ? out : out.substr(cut + 1);
    voxa::MakeStatus s = voxa::MakeZb(vol, scratch + "/" + name, opt, report);
    if (s.ok) s = voxa::PackSingleFile(scratch + "/" + name, out);
    if (DIR* d = ::opendir(scratch.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ::unlink((scratch + "/" + e->d_name).c_str());
        }
        ::closedir(d);
    }
    ::rmdir(scratch.c_str());
    if (s.ok && report) report->dataName = name;
    return s;
}

}  // namespace

int Run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> positional;
    voxa::ZbMakeOptions opt;
    opt.progress = &std::cerr;
    std::vector<double> dims, spacing{1, 1, 1};
    std::string type = "u8";
    bool singleFile = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        std::vector<double> list;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--info") {
            if (!value(v)) return Fail("--info needs a ZB file");
            return voxa::DescribeZb(v, std::cout) ? 0 : 1;
        } else if (a == "--dims") {
            if (!value(v) || !ParseList(v, dims, 3)) return Fail("--dims needs X,Y,Z");
        } else if (a == "--type") {
            if (!value(type) || (type != "u8" && type != "u16" && type != "f32"))
                return Fail("--type must be u8, u16 or f32");
        } else if (a == "--spacing") {
            if (!value(v) || !ParseList(v, spacing, 3)) return Fail("--spacing needs X,Y,Z");
        } else if (a == "--range") {
            if (!value(v) || !ParseList(v, list, 2)) return Fail("--range needs LO,HI");
            opt.range = std::array<double, 2>{list[0], list[1]};
        } else if (a == "--brick") {
            if (!value(v)) return Fail("--brick needs a number");
            opt.brick = std::atoi(v.c_str());
        } else if (a == "--overlap") {
            if (!value(v)) return Fail("--overlap needs a number");
            opt.overlap = std::atoi(v.c_str());
        } else if (a == "--dirs") {
            if (!value(v)) return Fail("--dirs needs directories");
            std::stringstream in(v);
            std::string d;
            while (std::getline(in, d, ',')) opt.otherDirs.push_back(d);
        } else if (a == "--single-file") {
            singleFile = true;
        } else if (a == "--quiet") {
            opt.progress = nullptr;
        } else if (!a.empty() && a[0] == '-') {
            return Fail("unknown option " + a + " (see --help)");
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    voxa::SourceVolume vol;
    voxa::MakeStatus s;
    if (!dims.empty()) {
        voxa::RawType t = type == "u8" ? voxa::RawType::kU8 : type == "u16" ? voxa::RawType::kU16 : voxa::RawType::kF32;
        s = voxa::LoadRawVolume(positional[0], static_cast<int>(dims[0]), static_cast<int>(dims[1]),
                                static_cast<int>(dims[2]), t, vol);
        for (int a = 0; a < 3; ++a) vol.spacing[a] = static_cast<float>(spacing[a]);
        if (!s.ok) return Fail(s.message);
        if (std::string why = voxa::DegenerateSpacing(vol.spacing, vol.nx, vol.ny, vol.nz); !why.empty())
            return Fail("--spacing: " + why);
    } else {
        s = voxa::LoadNifti(positional[0], vol);
        if (s.fault == voxa::MakeFault::kNotNifti) s.message += kRawHint;
        if (!s.ok) return Fail(s.message);
        // A header's spacing that cannot shape the volume is replaced.
        if (std::string why = voxa::DegenerateSpacing(vol.spacing, vol.nx, vol.ny, vol.nz); !why.empty()) {
            std::fprintf(stderr, "zbmake: warning: %s: %s; using 1,1,1\n", positional[0].c_str(), why.c_str());
            vol.spacing = {1, 1, 1};
        }
    }
    if (opt.progress)
        std::fprintf(stderr, "zbmake: %s: %d x %d x %d voxels, spacing %g %g %g\n", positional[0].c_str(), vol.nx,
                     vol.ny, vol.nz, vol.spacing[0], vol.spacing[1], vol.spacing[2]);
    voxa::ZbMakeReport report;
    if (singleFile) {
        if (!opt.otherDirs.empty()) return Fail("--single-file and --dirs cannot be combined");
        s = MakeSingleFile(vol, positional[1], opt, &report);
    } else {
        s = voxa::MakeZb(vol, positional[1], opt, &report);
    }
    if (!s.ok) {
        Fail(s.message);
        return 1;  // the input was good; the tree could not be written
    }
    if (opt.progress)
        std::fprintf(stderr, "zbmake: %s: %d levels, %d bricks, %lld data bytes in %s, values %g .. %g -> 0 .. 255\n",
                     positional[1].c_str(), report.levels, report.bricks, static_cast<long long>(report.dataBytes),
                     report.dataName.c_str(), report.lo, report.hi);
    return 0;
}

int main(int argc, char** argv) {
    // The sizes are checked against memory before allocating; should an
    // allocation still fail, say so instead of aborting.
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "zbmake: out of memory (the volume does not fit the memory of this machine)\n");
        return 1;
    }
}
