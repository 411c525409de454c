#include "tools/voxa_render_remote.h"

#include "engine/context/color_table.h"
#include "engine/context/options.h"
#include "engine/context/pixel_files.h"
#include "engine/context/render_request.h"
#include "hosting/activation.h"
#include "render_server/work_client.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

namespace voxa {

namespace {

constexpr char kProgram[] = "voxa_render";
constexpr int kWindowWaitMs = 20000;

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

}  // namespace

int RunVoxaRenderRemote(const VoxaRenderArgs& args, std::ostream& out, std::ostream& err) {
    if (args.window || args.holdSeconds > 0.0) {
        err << kProgram << ": --window and --hold are for direct mode; the server on "
            << args.host << " decides its own window\n";
        return 2;
    }
    // Files named here lie on this machine when the host is this machine:
    // they are checked here and sent as full paths. On another host they
    // are the host's names and go as given.
    const bool local = hosting::IsLocalHost(args.host);
    auto serverName = [&](const std::string& name) {
        return local && !name.empty() ? std::filesystem::absolute(name).lexically_normal().string()
                                      : name;
    };
    std::string keysText;
    if (!args.keysFile.empty() && !ReadText(args.keysFile, keysText)) {
        err << kProgram << ": cannot read the keyword file '" << args.keysFile << "'\n";
        return 2;
    }
    if (local) {
        std::string probe;
        if (!args.zbFile.empty() && !ReadText(args.zbFile, probe)) {
            err << kProgram << ": cannot read the ZB file '" << args.zbFile << "'\n";
            return 2;
        }
        if (!args.cmapFile.empty()) {
            ColorTable table;
            int result = table.LoadMapFiles(args.cmapFile, args.amapFile);
            if (result != 0) {
                err << kProgram << ": cannot open the "
                    << (result == ColorTable::kColorMapMissing ? "colour-map file '" + args.cmapFile
                                                               : "opacity-map file '" + args.amapFile)
                    << "'\n";
                return 2;
            }
        }
    }

    render_server::RemoteWork work;
    std::string error;
    if (work.Connect(args.host, &error) != 0) {
        err << kProgram << ": cannot reach voxa_server on " << args.host << ": " << error << "\n";
        return 1;
    }
    auto lost = [&]() {
        err << kProgram << ": the connection to " << args.host << " was lost: " << work.LastError()
            << "\n";
        return 1;
    };

    // The same calls, in the same order, as direct mode.
    const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
    const float panWidth = 2.0f * std::tan(17.0f * 0.017453292f);
    work.SetFrustum(center, up, normal, args.width, args.height, panWidth);
    if (!args.zbFile.empty()) work.Set_ZBname(serverName(args.zbFile));
    if (!args.cmapFile.empty()) work.SetLUT(serverName(args.amapFile), serverName(args.cmapFile));
    if (!args.timersFile.empty()) {
        work.SetOption(kOptTimerOutputFile, serverName(args.timersFile));
        work.SetOption(kOptTimersOn, "1");
    }
    for (const auto& [key, value] : args.options) work.SetOption(key, value);
    if (!keysText.empty()) {
        Renderparams key;
        std::memset(&key, 0, sizeof(key));
        work.SaveKey(&key);
        std::memset(key.ifauxclip, 0, sizeof(key.ifauxclip));
        std::memset(key.auxclip, 0, sizeof(key.auxclip));
        FrameControlPoints points;
        ApplyFrameKeywords(keysText, key, points);
        work.RestorKey(&key);
        if (int n = points.AlphaCountToUse(); n > 0)
            work.SetLUTia(n, points.alphaIndex.data(), points.alpha.data());
        if (int n = points.ColorCountToUse(); n > 0)
            work.SetLUTirgb(n, points.colorIndex.data(), points.red.data(), points.green.data(),
                            points.blue.data());
    }
    if (work.StartUp() != 0) return lost();

    // StartUp does not wait for the window: ask until it is up.
    std::string status;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWindowWaitMs);
    for (;;) {
        work.SetOption(kOptSetStatusRequest, kStatusIsGlWindowUp);
        if (work.GetStatus(&status) != 0) return lost();
        if (status == kReplyGlWindowIsUp || std::chrono::steady_clock::now() > until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (status != kReplyGlWindowIsUp) {
        err << kProgram << ": voxa_server on " << args.host
            << " could not make an OpenGL context; see DEBUG_VOXA.txt under its $VOXA_ROOT\n";
        work.ClearIt();
        return 1;
    }
    if (args.verbose) out << kProgram << ": rendering on " << args.host << "\n";

    const size_t frameBytes = static_cast<size_t>(args.width) * args.height * 3;
    int result = 0;
    for (int f = 0; f < args.frames; ++f) {
        if (f > 0 && (args.orbitDx != 0 || args.orbitDy != 0))
            work.IncrementEyePoint(args.orbitDx, args.orbitDy, 0);
        work.SetDoRender();
        if (args.outFile.empty()) continue;
        BinaryDataVOXA data;
        if (work.GetPix(&data) != 0) return lost();
        std::string file = NumberedOutput(args.outFile, f, args.frames);
        if (data.m_pBuffer.size() != frameBytes) {
            err << kProgram << ": " << file << ": the server sent " << data.m_pBuffer.size()
                << " bytes for a frame of " << frameBytes << "\n";
            result = 1;
            break;
        }
        const Status written = EndsWith(file, ".png") ? WritePngImage(file, args.width, args.height, data.m_pBuffer)
                               : WriteRawImage(file, data.m_pBuffer) ? Status::Ok()
                                                                      : IoError("cannot write the file");
        if (!written.ok()) {
            err << kProgram << ": " << file << ": " << written.message() << "\n";
            result = 1;
            break;
        }
        if (args.verbose) out << kProgram << ": wrote " << file << "\n";
    }
    if (work.ClearIt() != 0) return lost();
    return result;
}

}  // namespace voxa
