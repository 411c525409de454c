// reelctl: a small client of the movie server. Activates one mi object on a
// host, aligns its clock, plays a movie at a given rate for a while and
// prints the server's status lines.
#include "hosting/activation.h"
#include "hosting/interfaces.capnp.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

const char kUsage[] =
    "usage: reelctl HOST FILES WIDTH HEIGHT FRAMES [options]\n"
    "\n"
    "Plays a movie on the movie server (class mi) of HOST: FILES is the movie\n"
    "file (or several copies, joined by commas) as the server sees it, WIDTH x\n"
    "HEIGHT the frame size, FRAMES the frame count. Prints the server's status\n"
    "line every --every milliseconds, then shuts the object down.\n"
    "\n"
    "  --fps N          frames per second (default 30; 0 stands still)\n"
    "  --seconds S      how long to play (default 5)\n"
    "  --start F        first frame (default 0)\n"
    "  --expand E       pixel zoom of the window (default 1)\n"
    "  --xoffset X      window position on the server's screen (default 0)\n"
    "  --yoffset Y\n"
    "  --every MS       status interval (default 1000)\n"
    "  --no-shutdown    release the object without ShutDown\n"
    "  --timestamps     begin each status line with the milliseconds since play began\n"
    "\n"
    "Exit status: 0 when the movie played without read errors, 1 when the\n"
    "server refused the movie, reported read errors or could not be reached,\n"
    "2 for bad arguments.\n";

using Clock = std::chrono::steady_clock;

bool ParseNumber(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

long long Field(const std::string& status, const char* name) {
    std::string key = std::string(" ") + name + "=";
    std::string padded = " " + status;
    size_t at = padded.find(key);
    if (at == std::string::npos) return -1;
    return std::atoll(padded.c_str() + at + key.size());
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (argc < 6) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string host = argv[1], files = argv[2];
    double width = 0, height = 0, frames = 0;
    if (!ParseNumber(argv[3], &width) || !ParseNumber(argv[4], &height) ||
        !ParseNumber(argv[5], &frames)) {
        std::fprintf(stderr, "reelctl: WIDTH, HEIGHT and FRAMES must be numbers\n");
        return 2;
    }
    double fps = 30, seconds = 5, start = 0, every = 1000;
    std::string expand = "1", xoffset = "0", yoffset = "0";
    bool shutDown = true;
    bool timestamps = false;
    for (int i = 6; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--no-shutdown") {
            shutDown = false;
            continue;
        }
        if (a == "--timestamps") {
            timestamps = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "reelctl: %s needs a value (try --help)\n", a.c_str());
            return 2;
        }
        const char* v = argv[++i];
        double* number = a == "--fps" ? &fps : a == "--seconds" ? &seconds
                       : a == "--start" ? &start : a == "--every" ? &every : nullptr;
        if (number != nullptr) {
            if (!ParseNumber(v, number) || *number < 0) {
                std::fprintf(stderr, "reelctl: bad value for %s: %s\n", a.c_str(), v);
                return 2;
            }
        } else if (a == "--expand") {
            expand = v;
        } else if (a == "--xoffset") {
            xoffset = v;
        } else if (a == "--yoffset") {
            yoffset = v;
        } else {
            std::fprintf(stderr, "reelctl: unknown option %s (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (every < 10) every = 10;

    auto io = kj::setupAsyncIo();
    kj::Own<voxa::hosting::RemoteObject> object;
    std::string error;
    int hr = voxa::hosting::CreateInstanceOnHost(io, voxa::hosting::MiClass(), host, &object,
                                                 &error);
    if (hr < 0) {
        std::fprintf(stderr, "reelctl: no mi object on %s: %s\n", host.c_str(), error.c_str());
        return 1;
    }
    auto mi = object->As<voxa::rpc::Imi>();
    auto& ws = io.waitScope;
    auto base = Clock::now();
    auto now = [&] {
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - base).count());
    };
    auto status = [&] { return std::string(mi.getStatusRequest().send().wait(ws).getWcStatus()); };

    try {
        auto init = mi.initializeRequest();
        init.setWcFile(files);
        init.setINx(static_cast<int>(width));
        init.setINy(static_cast<int>(height));
        init.setINframes(static_cast<int>(frames));
        // Options first: they take effect when the window opens.
        for (auto [key, value] : {std::pair<const char*, std::string>{"Expand", expand},
                                  {"Xoffset", xoffset},
                                  {"Yoffset", yoffset}}) {
            auto req = mi.setOptionRequest();
            req.setWcKey(key);
            req.setWcValue(value);
            req.send().wait(ws);
        }
        auto initialized = Clock::now();
        init.send().wait(ws);
        // Align the server's movie clock with ours (its first Initialize set
        // its start tick).
        long long sumServer = 0, sumLocal = 0;
        for (int i = 0; i < 10; ++i) {
            long long t1 = now();
            long long s = mi.getTimeRequest().send().wait(ws).getLTime();
            long long t2 = now();
            sumServer += s;
            sumLocal += t1 + t2;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        auto offset = mi.setOffsetRequest();
        offset.setLTimeOffset(static_cast<int32_t>(sumServer / 10 - sumLocal / 20));
        offset.send().wait(ws);

        auto params = mi.setMovieParametersRequest();
        long long t0 = now() + 100;
        params.setITime0(static_cast<int32_t>(t0));
        params.setIFrame0(static_cast<int32_t>(start));
        params.setFFrame0m(0.0f);
        params.setFFrame0p(static_cast<float>(fps * 0.001));
        params.send().wait(ws);

        auto end = Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        std::string last;
        while (Clock::now() < end) {
            auto wake = Clock::now() + std::chrono::milliseconds(static_cast<long long>(every));
            std::this_thread::sleep_until(wake < end ? wake : end);
            if (wake >= end) break;
            last = status();
            if (timestamps) std::printf("%lld ", now() - t0);
            std::printf("%s\n", last.c_str());
            std::fflush(stdout);
        }
        // Stand still where the movie is, then report.
        auto stop = mi.setMovieParametersRequest();
        long long t1 = now();
        stop.setITime0(static_cast<int32_t>(t1));
        stop.setIFrame0(static_cast<int32_t>(start + (t1 - t0 > 0 ? (t1 - t0) * fps * 0.001 : 0)));
        stop.setFFrame0m(static_cast<float>(fps * 0.001));
        stop.setFFrame0p(0.0f);
        stop.send().wait(ws);
        last = status();
        long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                             initialized).count();
        std::printf("final: %s\nelapsed_ms=%lld\n", last.c_str(), ms);
        if (shutDown) mi.shutDownRequest().send().wait(ws);
        if (last.find("state=refused") != std::string::npos || Field(last, "errors") > 0)
            return 1;
    } catch (const kj::Exception& e) {
        std::fprintf(stderr, "reelctl: call failed: %s\n", e.getDescription().cStr());
        return 1;
    }
    return 0;
}
