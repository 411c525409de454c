#include "render_server/work_client.h"

#include <cstring>

namespace voxa::render_server {

namespace {

void SetVec3(capnp::List<float>::Builder list, const float* v) {
    for (unsigned i = 0; i < 3; ++i) list.set(i, v[i]);
}

}  // namespace

RemoteWork::RemoteWork() : m_io(kj::setupAsyncIo()) {}

RemoteWork::~RemoteWork() {
    // The capability goes before the connection that carries it.
    m_work = nullptr;
    m_object = nullptr;
}

int RemoteWork::Connect(std::string_view host, std::string* error) {
    int result = hosting::CreateInstanceOnHost(m_io, hosting::VoxaWorkClass(), host, &m_object,
                                               error);
    if (result != 0) return result;
    m_work = m_object->As<rpc::Ivoxa_work>();
    m_lost = false;
    m_error.clear();
    return 0;
}

template <typename Fn>
int RemoteWork::Call(Fn&& fn) {
    if (m_lost) return -1;
    KJ_IF_MAYBE(exception, kj::runCatchingExceptions([&]() { fn(m_io.waitScope); })) {
        m_lost = true;
        m_error = exception->getDescription().cStr();
        return -1;
    }
    return 0;
}

int RemoteWork::ClearIt() {
    return Call([&](kj::WaitScope& ws) { m_work.clearItRequest().send().wait(ws); });
}

int RemoteWork::StartUp() {
    return Call([&](kj::WaitScope& ws) { m_work.startUpRequest().send().wait(ws); });
}

int RemoteWork::SetDoRender() {
    return Call([&](kj::WaitScope& ws) { m_work.setDoRenderRequest().send().wait(ws); });
}

int RemoteWork::IncrementEyePoint(int delx, int dely, int iMouseMode) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.incrementEyePointRequest();
        r.setDelx(delx);
        r.setDely(dely);
        r.setIMouseMode(iMouseMode);
        r.send().wait(ws);
    });
}

int RemoteWork::ZoomEyePoint(int delx, int dely, int iMouseMode) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.zoomEyePointRequest();
        r.setDelx(delx);
        r.setDely(dely);
        r.setIMouseMode(iMouseMode);
        r.send().wait(ws);
    });
}

int RemoteWork::SaveKey(Renderparams* SKey) {
    return Call([&](kj::WaitScope& ws) {
        auto answer = m_work.saveKeyRequest().send().wait(ws);
        auto data = answer.getSKey();
        if (SKey != nullptr && data.size() == sizeof(Renderparams))
            std::memcpy(SKey, data.begin(), sizeof(Renderparams));
    });
}

int RemoteWork::RestorKey(const Renderparams* SKey) {
    if (SKey == nullptr) return 0;
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.restorKeyRequest();
        r.setSKey(kj::arrayPtr(reinterpret_cast<const kj::byte*>(SKey), sizeof(Renderparams)));
        r.send().wait(ws);
    });
}

int RemoteWork::Set_ZBname(std::string_view cZBnew) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setZBnameRequest();
        r.setCZBnew(kj::StringPtr(std::string(cZBnew).c_str()));
        r.send().wait(ws);
    });
}

int RemoteWork::SetFrustum(const float* center, const float* up, const float* normal,
                           int iWidth, int iHeight, float fPanWidth) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setFrustumRequest();
        SetVec3(r.initCenter(3), center);
        SetVec3(r.initUp(3), up);
        SetVec3(r.initNormal(3), normal);
        r.setIWidth(iWidth);
        r.setIHeight(iHeight);
        r.setFPanWidth(fPanWidth);
        r.send().wait(ws);
    });
}

int RemoteWork::SetLUT(std::string_view sAmap, std::string_view sCmap) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setLUTRequest();
        r.setSAmap(kj::StringPtr(std::string(sAmap).c_str()));
        r.setSCmap(kj::StringPtr(std::string(sCmap).c_str()));
        r.send().wait(ws);
    });
}

int RemoteWork::StopRendering() {
    return Call([&](kj::WaitScope& ws) { m_work.stopRenderingRequest().send().wait(ws); });
}

int RemoteWork::SetRenderQuality(int iPixErr, float fAngleError, float fSizeError) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setRenderQualityRequest();
        r.setIPixErr(iPixErr);
        r.setFAngleError(fAngleError);
        r.setFSizeError(fSizeError);
        r.send().wait(ws);
    });
}

int RemoteWork::CopyPixToFile(std::string_view cFile) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.copyPixToFileRequest();
        r.setCFile(kj::StringPtr(std::string(cFile).c_str()));
        r.send().wait(ws);
    });
}

int RemoteWork::SetCurrentWorkingDir(std::string_view cDir) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setCurrentWorkingDirRequest();
        r.setCDir(kj::StringPtr(std::string(cDir).c_str()));
        r.send().wait(ws);
    });
}

int RemoteWork::SetOpacity(float fOpacity) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setOpacityRequest();
        r.setFOpacity(fOpacity);
        r.send().wait(ws);
    });
}

int RemoteWork::SetNearFarClip(float fNear, float fFar) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setNearFarClipRequest();
        r.setFNear(fNear);
        r.setFFar(fFar);
        r.send().wait(ws);
    });
}

int RemoteWork::SetLUTirgb(int N, const int* ind, const float* red, const float* grn,
                           const float* blu) {
    if (N < 0 || N > kMaxColorPoints) return 0;
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setLUTirgbRequest();
        const unsigned n = static_cast<unsigned>(N);
        r.setN(N);
        auto i = r.initInd(n);
        auto rr = r.initRed(n);
        auto gg = r.initGrn(n);
        auto bb = r.initBlu(n);
        for (unsigned k = 0; k < n; ++k) {
            i.set(k, ind[k]);
            rr.set(k, red[k]);
            gg.set(k, grn[k]);
            bb.set(k, blu[k]);
        }
        r.send().wait(ws);
    });
}

int RemoteWork::SetLUTia(int N, const int* ind, const float* alpha) {
    if (N < 0 || N > kMaxColorPoints) return 0;
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setLUTiaRequest();
        const unsigned n = static_cast<unsigned>(N);
        r.setN(N);
        auto i = r.initInd(n);
        auto a = r.initAlpha(n);
        for (unsigned k = 0; k < n; ++k) {
            i.set(k, ind[k]);
            a.set(k, alpha[k]);
        }
        r.send().wait(ws);
    });
}

int RemoteWork::SetOption(std::string_view wcKey, std::string_view wcValue) {
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.setOptionRequest();
        r.setWcKey(kj::StringPtr(std::string(wcKey).c_str()));
        r.setWcValue(kj::StringPtr(std::string(wcValue).c_str()));
        r.send().wait(ws);
    });
}

int RemoteWork::GetPix(BinaryDataVOXA* pData) {
    return Call([&](kj::WaitScope& ws) {
        auto answer = m_work.getPixRequest().send().wait(ws);
        auto data = answer.getPData();
        if (pData != nullptr) {
            pData->m_lSize = static_cast<int32_t>(data.size());
            pData->m_pBuffer.assign(data.begin(), data.end());
        }
    });
}

int RemoteWork::GetStatus(std::string* wcStatus) {
    return Call([&](kj::WaitScope& ws) {
        auto answer = m_work.getStatusRequest().send().wait(ws);
        if (wcStatus != nullptr) *wcStatus = answer.getWcStatus().cStr();
    });
}

int RemoteWork::PutPix(int32_t lSize, const unsigned char* cPix) {
    if (cPix == nullptr || lSize < 0) return 0;
    return Call([&](kj::WaitScope& ws) {
        auto r = m_work.putPixRequest();
        r.setLSize(lSize);
        r.setCPix(kj::arrayPtr(cPix, static_cast<size_t>(lSize)));
        r.send().wait(ws);
    });
}

}  // namespace voxa::render_server
