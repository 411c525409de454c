// filejobd: the file-job daemon of a file host (see fileport/filejobd.h).
#include "fileport/filejobd.h"
#include "hosting/data_root_options.h"
#include "platform/sys.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: filejobd [--loop] [--verbose N] [options]\n"
    "Carries out the copy jobs of the FileJobs table whose destination host is this\n"
    "computer, fetching each file with `getfile` (first on PATH) into the destination\n"
    "directory; obeys the request word of this host in FileHosts (\"Hold\", \"OffLine\",\n"
    "\"ShutDown\", anything else: work). Database: $VOXA_ROOT/VOXA_DEFAULT_SQL_QUEUE.txt\n"
    "(host user password [port|socket]), else the built-in account.\n"
    "  --loop                   repeat passes until \"ShutDown\" or SIGTERM (without it,\n"
    "                           and with a verbosity above 100, one pass)\n"
    "  --verbose N              verbosity (default 200): above 0 the job messages,\n"
    "                           above 10 the idling line, above 1000 job details\n"
    "  --host NAME              the computer name to serve (default: this host's)\n"
    "  --idle-seconds N         sleep when no job waits (default 10)\n"
    "  --getfile-timeout S      end a getfile running longer and fail its job\n"
    "                           (default 3600)\n"
    "  --help                   this text\n"
    "Destinations must lie inside the data roots:\n";

bool ParseInt(const std::string& text, int min, int max, int* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < min || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace voxa;
    fileport::FileJobOptions options;
    hosting::ServerCommandLine roots;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i], value;
        bool hasValue = false;
        if (size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            hasValue = true;
        }
        auto take = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        auto bad = [&](const std::string& why) {
            std::fprintf(stderr, "filejobd: %s\n%s%s", why.c_str(), kUsage, hosting::kDataRootOptionsHelp);
            return 2;
        };
        if (a == "--help" || a == "-h") {
            std::printf("%s%s", kUsage, hosting::kDataRootOptionsHelp);
            return 0;
        } else if (a == "--loop") {
            options.loop = true;
        } else if (a == "--verbose") {
            if (!take() || !ParseInt(value, 0, 1000000, &options.verbosity))
                return bad("--verbose needs a number from 0 to 1000000");
        } else if (a == "--host") {
            if (!take() || value.empty() || value.size() > 255 || value.find(':') != std::string::npos)
                return bad("--host needs a name of 1 to 255 characters without ':'");
            options.hostName = value;
        } else if (a == "--idle-seconds") {
            int s = 0;
            if (!take() || !ParseInt(value, 0, 86400, &s)) return bad("--idle-seconds needs 0 to 86400");
            options.idleMs = s * 1000;
        } else if (a == "--getfile-timeout") {
            if (!take() || !ParseInt(value, 1, 7 * 86400, &options.getfileTimeoutSeconds))
                return bad("--getfile-timeout needs 1 to 604800 seconds");
        } else if (a == "--data-root" || a == "--roots-file") {
            if (!take()) return bad(a + " needs a value");
            roots.extra.emplace_back(a, value);
        } else {
            return bad("unknown argument '" + args[i] + "'");
        }
    }
    if (options.hostName.empty()) options.hostName = HostName().substr(0, 255);
    if (const char* d = std::getenv("VOXA_FILEJOBD_CLAIM_DELAY_MS"); d != nullptr)
        ParseInt(d, 0, 60000, &options.claimDelayMs);

    DataRoots dataRoots;
    std::vector<std::string> warnings;
    std::string error;
    if (!hosting::BuildDataRoots(roots, &dataRoots, &warnings, &error)) {
        std::fprintf(stderr, "filejobd: %s\n", error.c_str());
        return 2;
    }
    for (const std::string& w : warnings) std::fprintf(stderr, "filejobd: %s\n", w.c_str());

    auto settings = fileport::ReadFileJobSettings();
    if (!settings.ok()) {
        std::fprintf(stderr, "filejobd: %s\n", settings.status().message().c_str());
        return 2;
    }
    fileport::InstallFileJobSignalHandlers();
    fileport::FileJobDaemon daemon(*settings, options, std::move(dataRoots), stdout);
    if (!daemon.Start().ok()) return 1;
    return daemon.Run();
}
