// spoolwrite: measures the write throughput of a spool server.
#include "platform/sys.h"
#include "spool/progress_line.h"
#include "spool/spool_write.h"
#include "spool/test_movie.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage = "usage: spoolwrite <Host> <Full Path to File>\n";
constexpr const char* kWriting = "SPOOL write ... ";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

void PrintHelp() {
    std::printf("%s", kUsage);
    std::printf(
        "\nWrites a synthetic movie of 200 frames of 512 x 512 RGB pixels (157,286,400\n"
        "bytes) through the spool server on <Host> into <Full Path to File> there, and\n"
        "prints the megabytes, the seconds and the rate. On this machine a registered\n"
        "spool server is started on demand. The port is $VOXA_SPOOL1_PORT, else the\n"
        "registered one, else 47303.\n"
        "\n"
        "The megabytes are those the server wrote. A piece the server wrote short or\n"
        "refused (a path outside its data roots, a missing directory) is named on\n"
        "standard error with the server's status text of its slot.\n"
        "\n"
        "Exit status: 0 when the whole movie was written; 1 when the write failed or\n"
        "the server wrote less than the whole movie.\n");
}

// Names the pieces the server wrote short; true when the movie is complete.
bool ReportShortPieces(const voxa::spool::WriteOutcome& outcome, uint64_t total) {
    for (const auto& piece : outcome.firstShort) {
        std::fprintf(stderr,
                     "spoolwrite: server wrote %" PRId32 " of %" PRIu64
                     " bytes of the piece at offset %" PRIu64 ": %s\n",
                     piece.wrote, piece.size, piece.offset, piece.status.c_str());
    }
    if (outcome.shortPieces > outcome.firstShort.size()) {
        std::fprintf(stderr, "spoolwrite: %" PRIu64 " more pieces were written short\n",
                     outcome.shortPieces - outcome.firstShort.size());
    }
    if (outcome.written == total && outcome.shortPieces == 0) return true;
    std::fprintf(stderr,
                 "spoolwrite: the movie was not fully written: the server wrote %" PRIu64
                 " of %" PRIu64 " bytes\n",
                 outcome.written, total);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp();
            return kExitOk;
        }
    }
    if (argc < 3) {
        std::printf("%s", kUsage);
        return kExitOk;
    }
    std::printf("Generate Movie ... ");
    std::fflush(stdout);
    std::vector<unsigned char> movie = voxa::spool::GenerateTestMovie();
    std::printf("Finished!\n");
    std::printf("%s", kWriting);
    std::fflush(stdout);

    // The progress shares the line with "SPOOL write ... ", so only when
    // both streams are the terminal.
    const bool showProgress = isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0;
    voxa::spool::ProgressLine progressLine(stderr, kWriting, showProgress);
    auto progress = [&progressLine](uint64_t done, uint64_t total) {
        progressLine.Update(done, total);
    };
    voxa::spool::WriteOutcome outcome;
    const uint64_t start = voxa::TickCountMs();
    int status = voxa::spool::SpoolWrite(argv[1], argv[2], 0, movie.size(), movie.data(),
                                         progress, &outcome);
    const uint64_t end = voxa::TickCountMs();
    progressLine.End();
    if (status != voxa::spool::kWriteOk) {
        std::printf("\n !!!!! spool write failed: iStatus = %d!!!!!\n", status);
        std::printf("%s", voxa::spool::SpoolWriteMessage(status));
        return kExitFailed;
    }
    float mb = static_cast<float>(outcome.written) * 0.000001f;
    float seconds = static_cast<float>(end - start) * 0.001f;
    std::printf("%8.2f MB in %8.2f sec   %4.2f MB/sec\n", mb, seconds, mb / seconds);
    std::fflush(stdout);
    return ReportShortPieces(outcome, movie.size()) ? kExitOk : kExitFailed;
}
