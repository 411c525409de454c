// A client of the voxa_work class: the operations of a render context,
// carried out by an object on a render host through Ivoxa_work. The calls
// have the render context's names and arguments, so a program written for
// direct mode drives a remote voxa_server the same way.
//
// Each call waits for its answer. A call that fails in transport (the
// server went away) returns -1 and the connection counts as lost from then
// on (Lost(), LastError()); every later call returns -1 at once.
//
// Thread: one thread, the one that made the object (it owns a KJ event
// loop for the object's lifetime).
#pragma once

#include "engine/context/render_context.h"
#include "engine/context/render_request.h"
#include "hosting/activation.h"
#include "hosting/interfaces.capnp.h"

#include <kj/async-io.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace voxa::render_server {

class RemoteWork {
public:
    RemoteWork();
    ~RemoteWork();
    RemoteWork(const RemoteWork&) = delete;
    RemoteWork& operator=(const RemoteWork&) = delete;

    // Activates one voxa_work object on host (launching the registered
    // server when the host is this machine and nothing listens). 0, or the
    // negative activation result with *error.
    int Connect(std::string_view host, std::string* error);

    int ClearIt();
    int StartUp();
    int SetDoRender();
    int IncrementEyePoint(int delx, int dely, int iMouseMode);
    int SaveKey(Renderparams* SKey);
    int RestorKey(const Renderparams* SKey);
    int Set_ZBname(std::string_view cZBnew);
    int SetFrustum(const float* center, const float* up, const float* normal, int iWidth,
                   int iHeight, float fPanWidth);
    int SetLUT(std::string_view sAmap, std::string_view sCmap);
    int ZoomEyePoint(int delx, int dely, int iMouseMode);
    int StopRendering();
    int SetRenderQuality(int iPixErr, float fAngleError, float fSizeError);
    int CopyPixToFile(std::string_view cFile);
    int SetCurrentWorkingDir(std::string_view cDir);
    int SetOpacity(float fOpacity);
    int SetNearFarClip(float fNear, float fFar);
    int SetLUTirgb(int N, const int* ind, const float* red, const float* grn, const float* blu);
    int SetLUTia(int N, const int* ind, const float* alpha);
    int SetOption(std::string_view wcKey, std::string_view wcValue);
    int GetPix(BinaryDataVOXA* pData);
    int GetStatus(std::string* wcStatus);
    int PutPix(int32_t lSize, const unsigned char* cPix);

    bool Lost() const { return m_lost; }
    const std::string& LastError() const { return m_error; }

private:
    template <typename Fn>
    int Call(Fn&& fn);

    kj::AsyncIoContext m_io;
    kj::Own<hosting::RemoteObject> m_object;
    rpc::Ivoxa_work::Client m_work{nullptr};
    bool m_lost = true;
    std::string m_error = "not connected";
};

}  // namespace voxa::render_server
