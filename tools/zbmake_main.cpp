// zbmake: builds a brick tree (ZB file + data file) from a raw volume or a
// NIfTI-1 file, or describes an existing ZB file (--info).
#include "tools/zbmake.h"
#include "tools/zbmake_args.h"
#include "tools/zb_single_file.h"
#include "platform/paths.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
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

int Fail(const std::string& message) {
    std::fprintf(stderr, "zbmake: %s\n", message.c_str());
    return 2;
}

// Builds the tree in a scratch directory beside the output, then packs it
// into one file.
voxa::Status MakeSingleFile(const voxa::SourceVolume& vol, const std::string& out,
                            const voxa::ZbMakeOptions& opt, voxa::ZbMakeReport* report) {
    size_t cut = out.find_last_of('/');
    std::string scratch = (cut == std::string::npos ? std::string(".") : out.substr(0, cut)) + "/.zbmake_XXXXXX";
    if (cut != std::string::npos && !voxa::MakeDirs(out.substr(0, cut + 1)))
        return voxa::IoError(out.substr(0, cut + 1) + ": cannot create");
    if (::mkdtemp(scratch.data()) == nullptr) return voxa::IoError(scratch + ": cannot create");
    const std::string name = cut == std::string::npos ? out : out.substr(cut + 1);
    voxa::Status s = voxa::MakeZb(vol, scratch + "/" + name, opt, report);
    if (s.ok()) s = voxa::PackSingleFile(scratch + "/" + name, out);
    if (DIR* d = ::opendir(scratch.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ::unlink((scratch + "/" + e->d_name).c_str());
        }
        ::closedir(d);
    }
    ::rmdir(scratch.c_str());
    if (s.ok() && report) report->dataName = name;
    return s;
}

// The source volume: raw with --dims, else NIfTI-1. A raw volume's
// spacing must shape it; a header's that cannot is replaced by 1,1,1.
voxa::Status LoadSource(const voxa::ZbMakeArgs& args, voxa::SourceVolume& vol) {
    if (args.dims) {
        const std::array<int, 3>& d = *args.dims;
        VOXA_TRY(voxa::LoadRawVolume(args.input, d[0], d[1], d[2], args.type, vol));
        vol.spacing = args.spacing;
        if (std::string why = voxa::DegenerateSpacing(vol.spacing, vol.nx, vol.ny, vol.nz); !why.empty())
            return voxa::InvalidArgument("--spacing: " + why);
        return voxa::Status::Ok();
    }
    bool notNifti = false;
    voxa::Status s = voxa::LoadNifti(args.input, vol, &notNifti);
    if (!s.ok()) return notNifti ? voxa::Status(s.code(), s.message() + kRawHint) : s;
    if (std::string why = voxa::DegenerateSpacing(vol.spacing, vol.nx, vol.ny, vol.nz); !why.empty()) {
        std::fprintf(stderr, "zbmake: warning: %s: %s; using 1,1,1\n", args.input.c_str(), why.c_str());
        vol.spacing = {1, 1, 1};
    }
    return voxa::Status::Ok();
}

}  // namespace

int Run(int argc, char** argv) {
    voxa::ZbMakeArgs args;
    if (voxa::Status parsed = voxa::ParseZbMakeArgs({argv + 1, argv + argc}, args); !parsed.ok()) {
        Fail(parsed.message());
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!args.info.empty()) return voxa::DescribeZb(args.info, std::cout) ? 0 : 1;
    voxa::ZbMakeOptions opt = args.options;
    opt.progress = args.quiet ? nullptr : &std::cerr;
    voxa::SourceVolume vol;
    if (voxa::Status s = LoadSource(args, vol); !s.ok()) return Fail(s.message());
    if (opt.progress)
        std::fprintf(stderr, "zbmake: %s: %d x %d x %d voxels, spacing %g %g %g\n", args.input.c_str(), vol.nx,
                     vol.ny, vol.nz, vol.spacing[0], vol.spacing[1], vol.spacing[2]);
    voxa::ZbMakeReport report;
    voxa::Status s = args.singleFile ? MakeSingleFile(vol, args.output, opt, &report)
                                     : voxa::MakeZb(vol, args.output, opt, &report);
    if (!s.ok()) {
        Fail(s.message());
        return 1;  // the input was good; the tree could not be written
    }
    if (opt.progress)
        std::fprintf(stderr, "zbmake: %s: %d levels, %d bricks, %lld data bytes in %s, values %g .. %g -> 0 .. 255\n",
                     args.output.c_str(), report.levels, report.bricks, static_cast<long long>(report.dataBytes),
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
