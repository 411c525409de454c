#include "tools/voxa_render_remote.h"

#include "engine/context/color_table.h"
#include "engine/context/options.h"
#include "engine/context/pixel_files.h"
#include "engine/context/render_request.h"
#include "hosting/activation.h"
#include "platform/sys.h"
#include "render_server/work_client.h"

#include <chrono>
#include <cstdlib>
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

// Files named here lie on this machine when the host is this machine:
// they are checked here and sent as full paths. On another host they are
// the host's names and go as given.
std::string ServerName(bool local, const std::string& name) {
    return local && !name.empty() ? std::filesystem::absolute(name).lexically_normal().string() : name;
}

Status CheckLocalInputs(const VoxaRenderArgs& args, bool local, std::string& keysText) {
    if (!args.keysFile.empty() && !ReadFileText(args.keysFile, keysText))
        return NotFound("cannot read the keyword file '" + args.keysFile + "'");
    if (!local) return Status::Ok();
    std::string probe;
    if (!args.zbFile.empty() && !ReadFileText(args.zbFile, probe))
        return NotFound("cannot read the ZB file '" + args.zbFile + "'");
    if (!args.cmapFile.empty()) {
        ColorTable table;
        int result = table.LoadMapFiles(args.cmapFile, args.amapFile);
        if (result != 0)
            return NotFound("cannot open the " + (result == ColorTable::kColorMapMissing
                                                      ? "colour-map file '" + args.cmapFile
                                                      : "opacity-map file '" + args.amapFile) +
                            "'");
    }
    return Status::Ok();
}

// The same calls, in the same order, as direct mode.
void SendSetUp(render_server::RemoteWork& work, const VoxaRenderArgs& args, bool local, const std::string& keysText) {
    const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
    const float panWidth = 2.0f * std::tan(17.0f * 0.017453292f);
    work.SetFrustum(center, up, normal, args.width, args.height, panWidth);
    if (!args.zbFile.empty()) work.Set_ZBname(ServerName(local, args.zbFile));
    if (!args.cmapFile.empty()) work.SetLUT(ServerName(local, args.amapFile), ServerName(local, args.cmapFile));
    if (!args.timersFile.empty()) {
        work.SetOption(kOptTimerOutputFile, ServerName(local, args.timersFile));
        work.SetOption(kOptTimersOn, "1");
    }
    for (const auto& [key, value] : args.options) work.SetOption(key, value);
    if (!keysText.empty()) {
        Renderparams key;
        FrameControlPoints points;
        ApplyFrameKeywordsTo(work, keysText, key, points);
    }
}

// The server takes a name it refuses as if it had not been given (its
// debug file says why): the object's view key tells whether it took the
// volume and the maps. Unavailable when the connection is lost.
Status CheckNamesTaken(render_server::RemoteWork& work, const VoxaRenderArgs& args) {
    if (args.zbFile.empty() && args.cmapFile.empty()) return Status::Ok();
    Renderparams key{};
    if (work.SaveKey(&key) != 0) return Unavailable("lost");
    key.zbname[sizeof(key.zbname) - 1] = '\0';
    key.cmapname[sizeof(key.cmapname) - 1] = '\0';
    if (!args.zbFile.empty() && key.zbname[0] == '\0')
        return Refused("the ZB file '" + args.zbFile + "'");
    if (!args.cmapFile.empty() && std::string_view(key.cmapname) == kDefaultMapName)
        return Refused("the map files '" + args.cmapFile + "' and '" + args.amapFile + "'");
    return Status::Ok();
}

// StartUp does not wait for the window: asks until it is up. Unavailable
// when the connection is lost, Failed when no window came up in time.
Status WaitForWindow(render_server::RemoteWork& work) {
    std::string status;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWindowWaitMs);
    for (;;) {
        work.SetOption(kOptSetStatusRequest, kStatusIsGlWindowUp);
        if (work.GetStatus(&status) != 0) return Unavailable("lost");
        if (status == kReplyGlWindowIsUp) return Status::Ok();
        if (std::chrono::steady_clock::now() > until) return Failed("no window");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Renders the frames on the server and writes what it sends back: 0, 1
// when a frame could not be written, -1 when the connection was lost.
int FetchFrames(render_server::RemoteWork& work, const VoxaRenderArgs& args, std::ostream& out, std::ostream& err) {
    const size_t frameBytes = static_cast<size_t>(args.width) * args.height * 3;
    for (int f = 0; f < args.frames; ++f) {
        if (f > 0 && (args.orbitDx != 0 || args.orbitDy != 0)) work.IncrementEyePoint(args.orbitDx, args.orbitDy, 0);
        work.SetDoRender();
        // A frame the server could not draw leaves its window as it was:
        // those pixels are not this frame.
        std::string answer;
        work.SetOption(kOptSetStatusRequest, kStatusLastFrameResult);
        if (work.GetStatus(&answer) != 0) return -1;
        char* end = nullptr;
        const long result = std::strtol(answer.c_str(), &end, 10);
        if (!answer.empty() && end != nullptr && *end == '\0' && result != 0) {
            err << kProgram << ": the server could not render frame " << f + 1 << " (result " << result
                << "); see DEBUG_VOXA.txt under its $VOXA_ROOT\n";
            return 1;
        }
        if (args.outFile.empty()) continue;
        BinaryDataVOXA data;
        if (work.GetPix(&data) != 0) return -1;
        std::string file = NumberedOutput(args.outFile, f, args.frames);
        if (data.m_pBuffer.size() != frameBytes) {
            err << kProgram << ": " << file << ": the server sent " << data.m_pBuffer.size() << " bytes for a frame of "
                << frameBytes << "\n";
            return 1;
        }
        const Status written = HasSuffix(file, ".png") ? WritePngImage(file, args.width, args.height, data.m_pBuffer)
                               : WriteRawImage(file, data.m_pBuffer) ? Status::Ok()
                                                                      : IoError("cannot write the file");
        if (!written.ok()) {
            err << kProgram << ": " << file << ": " << written.message() << "\n";
            return 1;
        }
        if (args.verbose) out << kProgram << ": wrote " << file << "\n";
    }
    return 0;
}

}  // namespace

int RunVoxaRenderRemote(const VoxaRenderArgs& args, std::ostream& out, std::ostream& err) {
    if (args.window || args.holdSeconds > 0.0) {
        err << kProgram << ": --window and --hold are for direct mode; the server on " << args.host
            << " decides its own window\n";
        return 2;
    }
    const bool local = hosting::IsLocalHost(args.host);
    std::string keysText;
    if (Status inputs = CheckLocalInputs(args, local, keysText); !inputs.ok()) {
        err << kProgram << ": " << inputs.message() << "\n";
        return 2;
    }
    render_server::RemoteWork work;
    std::string error;
    if (work.Connect(args.host, &error) != 0) {
        err << kProgram << ": cannot reach voxa_server on " << args.host << ": " << error << "\n";
        return 1;
    }
    auto lost = [&]() {
        err << kProgram << ": the connection to " << args.host << " was lost: " << work.LastError() << "\n";
        return 1;
    };
    SendSetUp(work, args, local, keysText);
    if (Status taken = CheckNamesTaken(work, args); !taken.ok()) {
        if (taken.code() == StatusCode::kUnavailable) return lost();
        err << kProgram << ": voxa_server on " << args.host << " refused " << taken.message()
            << " (outside its data roots?); see DEBUG_VOXA.txt under its $VOXA_ROOT\n";
        return 1;
    }
    if (work.StartUp() != 0) return lost();
    if (Status up = WaitForWindow(work); !up.ok()) {
        if (up.code() == StatusCode::kUnavailable) return lost();
        err << kProgram << ": voxa_server on " << args.host
            << " could not make an OpenGL context; see DEBUG_VOXA.txt under its $VOXA_ROOT\n";
        work.ClearIt();
        return 1;
    }
    if (args.verbose) out << kProgram << ": rendering on " << args.host << "\n";
    const int result = FetchFrames(work, args, out, err);
    if (result < 0) return lost();
    if (work.ClearIt() != 0) return lost();
    return result;
}

}  // namespace voxa
