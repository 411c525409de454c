#include "fileport/fileport_cli.h"

#include "fileport/file_copy.h"
#include "fileport/lists.h"
#include "fileport/remote_files_server.h"
#include "platform/paths.h"
#include "spool/progress_line.h"

#include <kj/async-io.h>

#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

namespace voxa::fileport {

const char kFileportUsage[] =
    "usage: fileport_gui                       the \"Get Remote Files\" dialog\n"
    "       fileport_gui --list HOST:DIR [--filter PAT]\n"
    "       fileport_gui --copy HOST:DIR/NAME LOCALDIR [--prune N]\n"
    "       fileport_gui --rdl FILE.rdl --to LOCALDIR [--prune N] [--list-file F.fld]\n"
    "\n"
    "Lists and copies files through the RemoteFiles server (fileport_server) on\n"
    "other machines. The port is $VOXA_REMOTEFILES_PORT, else the registered one,\n"
    "else 47304; on this machine a registered server is started on demand.\n"
    "\n"
    "  --list HOST:DIR     print the files of DIR on HOST that match --filter\n"
    "                      (default \"*\"): one \"NAME SIZE\" line each\n"
    "  --copy HOST:DIR/NAME LOCALDIR\n"
    "                      copy one file into LOCALDIR; with --prune N the file is\n"
    "                      a single-file brick tree copied pruned to its N\n"
    "                      coarsest levels\n"
    "  --rdl FILE.rdl      a remote directory list (the filter, then HOST:DIR\n"
    "                      sites); every listed .zb brick tree not yet in LOCALDIR\n"
    "                      is copied, pruned to --prune N levels (default: all)\n"
    "  --list-file F.fld   with --rdl: write F.fld and F.fldremote into LOCALDIR,\n"
    "                      naming the copied trees\n"
    "\n"
    "A copy is written as NAME.part and renamed when complete; a failed copy leaves\n"
    "no file. Exit status: 0 done, 1 a site or file failed, 2 bad arguments.\n";

const char kGetFileUsage[] =
    "usage: getfile HOST DIR NAME\n"
    "\n"
    "Copies the file NAME of directory DIR on HOST (through its RemoteFiles server,\n"
    "fileport_server) into the current directory. It is written as NAME.part and\n"
    "renamed when complete. Exit status: 0 copied, 1 failed (no file is left),\n"
    "2 bad arguments.\n";

namespace {

struct Options {
    std::string list, filter = "*", copy, rdl, to, listFile, localDir;
    std::optional<int> prune;
};

int Bad(std::FILE* err, const std::string& message) {
    std::fprintf(err, "fileport_gui: %s (see --help)\n", message.c_str());
    return kExitBadInput;
}

std::optional<int> ParseLevels(const std::string& text) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 1 || v > kKeepAllLevels)
        return std::nullopt;
    return v;
}

std::FILE* ProgressStream(std::FILE* err) { return ::isatty(::fileno(err)) ? err : nullptr; }

}  // namespace

bool IsCommandLineWork(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--list" || a == "--copy" || a == "--rdl" || a == "--help" || a == "-h") return true;
    return false;
}

int RunFileportCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    Options o;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) return false;
            *v = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kFileportUsage, out);
            return kExitOk;
        } else if (a == "--list") {
            if (!value(&o.list)) return Bad(err, "--list needs HOST:DIR");
        } else if (a == "--filter") {
            if (!value(&o.filter)) return Bad(err, "--filter needs a pattern");
        } else if (a == "--copy") {
            if (!value(&o.copy)) return Bad(err, "--copy needs HOST:DIR/NAME");
        } else if (a == "--rdl") {
            if (!value(&o.rdl)) return Bad(err, "--rdl needs a file");
        } else if (a == "--to") {
            if (!value(&o.to)) return Bad(err, "--to needs a directory");
        } else if (a == "--list-file") {
            if (!value(&o.listFile)) return Bad(err, "--list-file needs a file name");
        } else if (a == "--prune") {
            if (!value(&v) || !(o.prune = ParseLevels(v))) return Bad(err, "--prune needs a number of levels, 1 to 64");
        } else if (!a.empty() && a[0] == '-') {
            return Bad(err, "unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    const int modes = !o.list.empty() + !o.copy.empty() + !o.rdl.empty();
    if (modes != 1) return Bad(err, "give one of --list, --copy, --rdl");

    KeepTransferMemory();
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    spool::ProgressLine progress(err, "", ProgressStream(err) != nullptr);
    CopyObserver observer;
    observer.message = [err](const std::string& m) { std::fprintf(err, "fileport_gui: %s\n", m.c_str()); };
    observer.progress = [&](int64_t done, int64_t total) {
        progress.Update(static_cast<uint64_t>(done), static_cast<uint64_t>(total));
    };

    if (!o.list.empty()) {
        if (!positional.empty()) return Bad(err, "unexpected argument " + positional[0]);
        auto site = SplitSite(o.list);
        if (!site.ok()) return Bad(err, site.status().message());
        auto rows = copier.ListSite(*site, o.filter, ".", observer);
        if (!rows.ok()) {
            std::fprintf(err, "fileport_gui: %s\n", rows.status().message().c_str());
            return kExitFailed;
        }
        for (const FileRow& r : *rows) std::fprintf(out, "%s %s\n", r.file.c_str(), r.size.c_str());
        return kExitOk;
    }

    if (!o.copy.empty()) {
        if (positional.size() != 1) return Bad(err, "--copy needs HOST:DIR/NAME and LOCALDIR");
        auto site = SplitSite(o.copy);
        if (!site.ok()) return Bad(err, site.status().message());
        size_t cut = site->directory.find_last_of("/\\");
        if (cut == std::string::npos || cut + 1 >= site->directory.size())
            return Bad(err, "--copy needs HOST:DIR/NAME");
        if (!MakeDirs(positional[0])) return Bad(err, positional[0] + ": cannot create");
        const std::string dir = site->directory.substr(0, cut == 0 ? 1 : cut);
        const std::string name = site->directory.substr(cut + 1);
        CopyResult r = o.prune ? copier.CopyBrickTree(site->host, dir, name, positional[0], *o.prune, observer)
                               : copier.CopyWholeFile(site->host, dir, name, positional[0], observer);
        progress.End();
        if (r.outcome != CopyOutcome::kCopied) {
            std::fprintf(err, "fileport_gui: %s: %s%s\n", name.c_str(),
                         r.outcome == CopyOutcome::kInvalid ? "Invalid ZB File: " : "", r.message.c_str());
            return kExitFailed;
        }
        std::fprintf(out, "%s %lld\n", name.c_str(), static_cast<long long>(r.bytes));
        return kExitOk;
    }

    // --rdl
    if (!positional.empty()) return Bad(err, "unexpected argument " + positional[0]);
    if (o.to.empty()) return Bad(err, "--rdl needs --to LOCALDIR");
    // The FIELD list names the copies by the directory's full path.
    if (!MakeDirs(o.to)) return Bad(err, o.to + ": cannot create");
    if (char* full = ::realpath(o.to.c_str(), nullptr)) {
        o.to = full;
        std::free(full);
    }
    std::ifstream in(o.rdl);
    if (!in) return Bad(err, o.rdl + ": cannot read");
    std::stringstream text;
    text << in.rdbuf();
    auto rdl = ParseRemoteDirectoryList(text.str());
    if (!rdl.ok()) return Bad(err, o.rdl + ": " + rdl.status().message());
    int failures = 0;
    std::vector<FileRow> rows;
    for (const std::string& s : rdl->sites) {
        auto site = SplitSite(s);
        auto listed = copier.ListSite(*site, rdl->filter, o.to, observer);
        if (!listed.ok()) {
            std::fprintf(err, "fileport_gui: %s: %s\n", s.c_str(), listed.status().message().c_str());
            ++failures;
            continue;
        }
        rows.insert(rows.end(), listed->begin(), listed->end());
    }
    CopySettings settings;
    settings.localDirectory = o.to;
    settings.pruneLevels = o.prune.value_or(kKeepAllLevels);
    settings.listFileName = o.listFile;
    auto attempted = copier.CopyRows(&rows, settings, observer);
    progress.End();
    if (!attempted.ok()) {
        std::fprintf(err, "fileport_gui: %s\n", attempted.status().message().c_str());
        return kExitFailed;
    }
    for (const FileRow& r : rows) {
        std::fprintf(out, "%s %s %s %s:%s\n", r.file.c_str(), r.size.c_str(), r.isCopied.c_str(),
                     r.remoteHost.c_str(), r.remoteDirectory.c_str());
        if (r.isCopied == kCopyFailed || r.isCopied == kInvalidZbFile) ++failures;
    }
    return failures == 0 ? kExitOk : kExitFailed;
}

int RunGetFile(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(kGetFileUsage, out);
            return kExitOk;
        }
    }
    if (args.size() != 3) {
        std::fputs(kGetFileUsage, err);
        return kExitBadInput;
    }
    if (!IsPlainFileName(args[2])) {
        std::fprintf(err, "getfile: refused name \"%s\": a plain file name is needed\n", args[2].c_str());
        return kExitBadInput;
    }
    KeepTransferMemory();
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    spool::ProgressLine progress(err, "getfile " + args[2] + " ", ProgressStream(err) != nullptr);
    CopyObserver observer;
    observer.progress = [&](int64_t done, int64_t total) {
        progress.Update(static_cast<uint64_t>(done), static_cast<uint64_t>(total));
    };
    CopyResult r = copier.CopyWholeFile(args[0], args[1], args[2], ".", observer);
    progress.End();
    if (r.outcome != CopyOutcome::kCopied) {
        std::fprintf(err, "getfile: %s: %s\n", args[2].c_str(), r.message.c_str());
        return kExitFailed;
    }
    std::fprintf(out, "%s %lld\n", args[2].c_str(), static_cast<long long>(r.bytes));
    return kExitOk;
}

}  // namespace voxa::fileport
