// Fuzz harness of the voxa_work object's handling of client input: option
// pairs, view keys, file and directory names, colour points, view moves.
// No render thread runs (no GL), so every call is taken on this thread.
//
// Input: a sequence of calls, each one byte naming the call, one byte of
// length and that many bytes of arguments (a view key takes the next 900
// bytes instead).
#include "hosting/interfaces.capnp.h"
#include "platform/data_roots.h"
#include "render_server/voxa_work_impl.h"
#include "render_server/work_service.h"

#include <kj/async-io.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>

namespace {

using voxa::render_server::VoxaWorkImpl;
using voxa::render_server::WorkService;

struct Harness {
    Harness() {
        char dirTemplate[] = "/tmp/voxa_work_fuzz.XXXXXX";
        root = ::mkdtemp(dirTemplate);
        static std::string removeAtExit;
        removeAtExit = root;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        ::setenv("VOXA_ROOT", root.c_str(), 1);
        std::string data = root + "/data";
        ::mkdir(data.c_str(), 0755);
        voxa::DataRoots roots;
        if (!roots.Add(data).ok()) std::abort();
        service = std::make_unique<WorkService>(std::move(roots), voxa::DisplayMode::kHeadless);
        work = kj::heap<VoxaWorkImpl>(*service, std::nullopt);
    }
    std::string root;
    kj::AsyncIoContext io = kj::setupAsyncIo();
    std::unique_ptr<WorkService> service;
    voxa::rpc::Ivoxa_work::Client work{nullptr};
};

Harness& TheHarness() {
    // Kept for the whole run (libFuzzer calls the entry point many times).
    static Harness* h = new Harness();
    return *h;
}

std::string Text(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

float FloatAt(const uint8_t* p, size_t n, size_t i) {
    float f = 0;
    if ((i + 1) * 4 <= n) std::memcpy(&f, p + i * 4, 4);
    return f;
}

int IntAt(const uint8_t* p, size_t n, size_t i) {
    int32_t v = 0;
    if ((i + 1) * 4 <= n) std::memcpy(&v, p + i * 4, 4);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = TheHarness();
    auto& ws = h.io.waitScope;
    auto& w = h.work;
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t op = data[at] % 12;
        size_t len = data[at + 1];
        at += 2;
        if (op == 1) len = 900;
        if (at + len > size) len = size - at;
        const uint8_t* p = data + at;
        at += len;
        std::string s = Text(p, len);
        size_t cut = s.find('\0');
        std::string first = s.substr(0, cut);
        std::string second = cut == std::string::npos ? std::string() : s.substr(cut + 1);
        switch (op) {
            case 0: {
                auto r = w.setOptionRequest();
                r.setWcKey(first);
                r.setWcValue(second.substr(0, second.find('\0')));
                r.send().wait(ws);
                break;
            }
            case 1: {
                auto r = w.restorKeyRequest();
                r.setSKey(kj::arrayPtr(p, len));
                r.send().wait(ws);
                break;
            }
            case 2: {
                auto r = w.setZBnameRequest();
                r.setCZBnew(first);
                r.send().wait(ws);
                break;
            }
            case 3: {
                auto r = w.setLUTRequest();
                r.setSAmap(first);
                r.setSCmap(second.substr(0, second.find('\0')));
                r.send().wait(ws);
                break;
            }
            case 4: {
                auto r = w.setCurrentWorkingDirRequest();
                r.setCDir(first);
                r.send().wait(ws);
                break;
            }
            case 5: {
                auto r = w.copyPixToFileRequest();
                r.setCFile(first);
                r.send().wait(ws);
                break;
            }
            case 6: {
                auto r = w.setLUTirgbRequest();
                const unsigned n = len > 0 ? p[0] % 40 : 0;
                r.setN(len > 1 ? static_cast<int8_t>(p[1]) : 0);
                auto ind = r.initInd(n);
                auto red = r.initRed(n), grn = r.initGrn(n), blu = r.initBlu(n);
                for (unsigned i = 0; i < n; ++i) {
                    ind.set(i, IntAt(p, len, i));
                    red.set(i, FloatAt(p, len, i + 1));
                    grn.set(i, FloatAt(p, len, i + 2));
                    blu.set(i, FloatAt(p, len, i + 3));
                }
                r.send().wait(ws);
                break;
            }
            case 7: {
                auto r = w.setLUTiaRequest();
                const unsigned n = len > 0 ? p[0] % 40 : 0;
                r.setN(len > 1 ? static_cast<int8_t>(p[1]) : 0);
                auto ind = r.initInd(n);
                auto alpha = r.initAlpha(n);
                for (unsigned i = 0; i < n; ++i) {
                    ind.set(i, IntAt(p, len, i));
                    alpha.set(i, FloatAt(p, len, i + 1));
                }
                r.send().wait(ws);
                break;
            }
            case 8:
                w.getStatusRequest().send().wait(ws);
                w.saveKeyRequest().send().wait(ws);
                w.getLUT32irgbRequest().send().wait(ws);
                w.getLUT32iaRequest().send().wait(ws);
                break;
            case 9: {
                auto r = w.incrementEyePointRequest();
                r.setDelx(IntAt(p, len, 0));
                r.setDely(IntAt(p, len, 1));
                r.setIMouseMode(IntAt(p, len, 2));
                r.send().wait(ws);
                auto z = w.zoomEyePointRequest();
                z.setDely(IntAt(p, len, 3) % 100000);
                z.setIMouseMode(IntAt(p, len, 4));
                z.send().wait(ws);
                break;
            }
            case 10: {
                auto r = w.setFrustumRequest();
                auto c = r.initCenter(len > 0 ? p[0] % 4 : 3);
                for (unsigned i = 0; i < c.size(); ++i) c.set(i, FloatAt(p, len, i + 1));
                auto u = r.initUp(3);
                auto n = r.initNormal(3);
                for (unsigned i = 0; i < 3; ++i) {
                    u.set(i, FloatAt(p, len, i + 4));
                    n.set(i, FloatAt(p, len, i + 7));
                }
                r.setIWidth(IntAt(p, len, 10));
                r.setIHeight(IntAt(p, len, 11));
                r.setFPanWidth(FloatAt(p, len, 12));
                r.send().wait(ws);
                break;
            }
            default: {
                w.setDoRenderRequest().send().wait(ws);
                auto pix = w.getPixRequest().send().wait(ws);
                (void)pix;
                break;
            }
        }
    }
    return 0;
}
