// spoolwrite: measures the write throughput of a spool server.
#include "platform/sys.h"
#include "spool/spool_write.h"
#include "spool/test_movie.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage = "usage: spoolwrite <Host> <Full Path to File>\n";

void PrintHelp() {
    std::printf("%s", kUsage);
    std::printf(
        "\nWrites a synthetic movie of 200 frames of 512 x 512 RGB pixels (157,286,400\n"
        "bytes) through the spool server on <Host> into <Full Path to File> there, and\n"
        "prints the megabytes, the seconds and the rate. On this machine a registered\n"
        "spool server is started on demand. The port is $VOXA_SPOOL1_PORT, else the\n"
        "registered one, else 47303.\n");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp();
            return 0;
        }
    }
    if (argc < 3) {
        std::printf("%s", kUsage);
        return 0;
    }
    std::printf("Generate Movie ... ");
    std::fflush(stdout);
    std::vector<unsigned char> movie = voxa::spool::GenerateTestMovie();
    std::printf("Finished!\n");
    std::printf("SPOOL write ... ");
    std::fflush(stdout);

    const bool showProgress = isatty(STDERR_FILENO) != 0;
    auto progress = [showProgress](uint64_t done, uint64_t total) {
        if (!showProgress) return;
        std::fprintf(stderr, "\r%7.1f of %7.1f MB", static_cast<double>(done) * 1e-6,
                     static_cast<double>(total) * 1e-6);
        if (done >= total) std::fprintf(stderr, "\n");
    };
    const uint64_t start = voxa::TickCountMs();
    int status = voxa::spool::SpoolWrite(argv[1], argv[2], 0, movie.size(), movie.data(),
                                         progress);
    const uint64_t end = voxa::TickCountMs();
    if (status == voxa::spool::kWriteOk) {
        float mb = static_cast<float>(movie.size()) * 0.000001f;
        float seconds = static_cast<float>(end - start) * 0.001f;
        std::printf("%8.2f MB in %8.2f sec   %4.2f MB/sec\n", mb, seconds, mb / seconds);
    } else {
        std::printf("\n !!!!! spool write failed: iStatus = %d!!!!!\n", status);
        std::printf("%s", voxa::spool::SpoolWriteMessage(status));
    }
    return 0;
}
