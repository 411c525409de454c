#include "tools/zbmake_args.h"

#include "tools/number_args.h"

#include <functional>
#include <map>

namespace voxa {
namespace {

using ValueHandler = std::function<Status(const std::string&, ZbMakeArgs&)>;

Status ParseDims(const std::string& v, ZbMakeArgs& out) {
    std::vector<int> n;
    if (!ParseListArg<int>(v, 3, ParseIntArg, n)) return InvalidArgument("--dims needs X,Y,Z");
    out.dims = std::array<int, 3>{n[0], n[1], n[2]};
    return Status::Ok();
}

Status ParseType(const std::string& v, ZbMakeArgs& out) {
    if (v == "u8") out.type = RawType::kU8;
    else if (v == "u16") out.type = RawType::kU16;
    else if (v == "f32") out.type = RawType::kF32;
    else return InvalidArgument("--type must be u8, u16 or f32");
    return Status::Ok();
}

Status ParseSpacing(const std::string& v, ZbMakeArgs& out) {
    std::vector<double> s;
    if (!ParseListArg<double>(v, 3, ParseDoubleArg, s)) return InvalidArgument("--spacing needs X,Y,Z");
    for (int a = 0; a < 3; ++a) out.spacing[a] = static_cast<float>(s[a]);
    return Status::Ok();
}

Status ParseRange(const std::string& v, ZbMakeArgs& out) {
    std::vector<double> r;
    if (!ParseListArg<double>(v, 2, ParseDoubleArg, r)) return InvalidArgument("--range needs LO,HI");
    out.options.range = std::array<double, 2>{r[0], r[1]};
    return Status::Ok();
}

ValueHandler IntOption(const char* name, int ZbMakeOptions::*field) {
    return [name, field](const std::string& v, ZbMakeArgs& out) {
        if (!ParseIntArg(v, out.options.*field)) return InvalidArgument(std::string(name) + " needs a number");
        return Status::Ok();
    };
}

Status ParseDirs(const std::string& v, ZbMakeArgs& out) {
    size_t start = 0;
    while (start < v.size()) {
        size_t comma = v.find(',', start);
        if (comma == std::string::npos) comma = v.size();
        out.options.otherDirs.push_back(v.substr(start, comma - start));
        start = comma + 1;
    }
    return Status::Ok();
}

// Options that take a value, and what their missing value is called.
const std::map<std::string, std::pair<const char*, ValueHandler>>& ValueOptions() {
    static const std::map<std::string, std::pair<const char*, ValueHandler>> table = {
        {"--dims", {"--dims needs X,Y,Z", ParseDims}},
        {"--type", {"--type must be u8, u16 or f32", ParseType}},
        {"--spacing", {"--spacing needs X,Y,Z", ParseSpacing}},
        {"--range", {"--range needs LO,HI", ParseRange}},
        {"--brick", {"--brick needs a number", IntOption("--brick", &ZbMakeOptions::brick)}},
        {"--overlap", {"--overlap needs a number", IntOption("--overlap", &ZbMakeOptions::overlap)}},
        {"--dirs", {"--dirs needs directories", ParseDirs}},
    };
    return table;
}

}  // namespace

Status ParseZbMakeArgs(const std::vector<std::string>& args, ZbMakeArgs& out) {
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out.help = true;
            return Status::Ok();
        }
        if (a == "--info") {
            if (i + 1 >= args.size()) return InvalidArgument("--info needs a ZB file");
            out.info = args[i + 1];
            return Status::Ok();
        }
        if (auto it = ValueOptions().find(a); it != ValueOptions().end()) {
            if (i + 1 >= args.size()) return InvalidArgument(it->second.first);
            VOXA_TRY(it->second.second(args[++i], out));
        } else if (a == "--single-file") {
            out.singleFile = true;
        } else if (a == "--quiet") {
            out.quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            return InvalidArgument("unknown option " + a + " (see --help)");
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) return InvalidArgument("needs INPUT and OUTPUT.zb (see --help)");
    if (out.singleFile && !out.options.otherDirs.empty())
        return InvalidArgument("--single-file and --dirs cannot be combined");
    out.input = positional[0];
    out.output = positional[1];
    return Status::Ok();
}

}  // namespace voxa
