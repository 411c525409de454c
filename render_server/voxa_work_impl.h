// The voxa_work component object: Ivoxa_work over the process-wide
// WorkService.
//
// Each object keeps its own render request block, view quality, key
// extras, colour control points, "BlockOnRender" value and status request
// word; SetDoRender hands the render thread a copy of the block, so an
// object released while its frame renders leaves nothing behind that the
// thread still reads. The colour table that frames are drawn with and the
// other options are the render context's (shared by every object, as the
// engine's single context is): colour-point and option calls travel to the
// render thread in call order.
//
// The user count is kept per object as well: an object's ClearIt only
// matches that object's own StartUps (one client cannot take another's
// window down), and an object released with StartUps outstanding gives
// them back.
//
// Paths sent by a client (ZB name, map names, CopyPixToFile, the working
// directory, "TimerOutputFile", the names inside a restored key) must lie
// inside the server's data roots; a refused path changes nothing and one
// line saying why goes to the debug file.
//
// Main thread only (every call arrives on the server's event loop).
#pragma once

#include "engine/context/color_table.h"
#include "engine/context/render_request.h"
#include "engine/context/render_work.h"
#include "hosting/interfaces.capnp.h"
#include "hosting/server_shell.h"
#include "render_server/work_service.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxa::render_server {

class VoxaWorkImpl final : public rpc::Ivoxa_work::Server {
public:
    // owner, when given, keeps the service alive as long as the object.
    VoxaWorkImpl(WorkService& service, std::optional<hosting::ObjectRef> ref,
                 std::shared_ptr<WorkService> owner = nullptr);
    // A client that goes away without its ClearIts (released, killed, or
    // disconnected) has them done here, so its window does not stay up.
    ~VoxaWorkImpl();

protected:
    kj::Promise<void> clearIt(ClearItContext context) override;
    kj::Promise<void> startUp(StartUpContext context) override;
    kj::Promise<void> setDoRender(SetDoRenderContext context) override;
    kj::Promise<void> incrementEyePoint(IncrementEyePointContext context) override;
    kj::Promise<void> saveKey(SaveKeyContext context) override;
    kj::Promise<void> restorKey(RestorKeyContext context) override;
    kj::Promise<void> setZBname(SetZBnameContext context) override;
    kj::Promise<void> setFrustum(SetFrustumContext context) override;
    kj::Promise<void> addFrustum(AddFrustumContext context) override;
    kj::Promise<void> setLUT(SetLUTContext context) override;
    kj::Promise<void> zoomEyePoint(ZoomEyePointContext context) override;
    kj::Promise<void> stopRendering(StopRenderingContext context) override;
    kj::Promise<void> setRenderQuality(SetRenderQualityContext context) override;
    kj::Promise<void> copyPixToFile(CopyPixToFileContext context) override;
    kj::Promise<void> setCurrentWorkingDir(SetCurrentWorkingDirContext context) override;
    kj::Promise<void> setOpacity(SetOpacityContext context) override;
    kj::Promise<void> setNearFarClip(SetNearFarClipContext context) override;
    kj::Promise<void> setHWnd(SetHWndContext context) override;
    kj::Promise<void> setLUTirgb(SetLUTirgbContext context) override;
    kj::Promise<void> setLUTia(SetLUTiaContext context) override;
    kj::Promise<void> getLUT32irgb(GetLUT32irgbContext context) override;
    kj::Promise<void> getLUT32ia(GetLUT32iaContext context) override;
    kj::Promise<void> setOption(SetOptionContext context) override;
    kj::Promise<void> getPix(GetPixContext context) override;
    kj::Promise<void> getStatus(GetStatusContext context) override;
    kj::Promise<void> putPix(PutPixContext context) override;

private:
    // A map or ZB name as the context stores it: "default" (maps) and the
    // empty ZB name pass as they are; anything else must be a path inside
    // the data roots whose canonical form fits the 99-character field.
    bool AcceptName(const char* what, std::string_view name, bool isMap, std::string* out);
    kj::Promise<void> Track(std::shared_ptr<Job> job, bool wait);
    bool Working();

    std::shared_ptr<WorkService> m_owner;
    WorkService& m_service;
    std::optional<hosting::ObjectRef> m_ref;
    int m_startUps = 0;  // this object's StartUps not yet matched by its ClearIts
    RenderRequestBlock m_block;
    ViewQuality m_quality;
    KeyExtras m_extras;
    ColorTable m_colors;
    int m_blockOnRender = 1;
    std::string m_statusRequest;
    unsigned long m_hostWindow = 0;
    std::vector<std::shared_ptr<Job>> m_outstanding;  // this object's jobs not yet done
    std::shared_ptr<Job> m_lastRender;
};

// The voxa_server program's state from its command line (data roots,
// --headless) and its object factory.
std::optional<hosting::ObjectFactory> MakeWorkFactory(const hosting::ServerCommandLine& cl,
                                                      kj::AsyncIoContext& io, bool headless,
                                                      std::string* error);

}  // namespace voxa::render_server
