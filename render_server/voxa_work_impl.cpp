#include "render_server/voxa_work_impl.h"

#include "engine/context/options.h"
#include "engine/context/pixel_files.h"
#include "hosting/data_root_options.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace voxa::render_server {

namespace {

constexpr size_t kNameField = 99;  // characters of a 100-byte name field
constexpr size_t kRenderparamsBytes = sizeof(Renderparams);
static_assert(kRenderparamsBytes == 900, "the view key travels as 900 bytes");

std::string Cut(std::string_view text, size_t n) { return std::string(text.substr(0, n)); }

template <typename List>
bool Vec3Of(List list, float out[3]) {
    if (list.size() < 3) return false;
    for (unsigned i = 0; i < 3; ++i) out[i] = list[i];
    return true;
}

void Refused(const char* call, std::string_view name, const std::string& reason) {
    WorkService::Log(std::string("voxa_server: ") + call + " refused '" + std::string(name) +
                     "': " + reason);
}

bool WriteAll(int fd, const unsigned char* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

VoxaWorkImpl::VoxaWorkImpl(WorkService& service, std::optional<hosting::ObjectRef> ref,
                           std::shared_ptr<WorkService> owner)
    : m_owner(std::move(owner)),
      m_service(service),
      m_ref(std::move(ref)),
      m_block(InitialRequestBlock()),
      m_statusRequest(kStatusRendering) {}

VoxaWorkImpl::~VoxaWorkImpl() {
    for (; m_startUps > 0; --m_startUps) m_service.ClearIt().detach([](kj::Exception&&) {});
}

bool VoxaWorkImpl::AcceptName(const char* what, std::string_view name, bool isMap,
                              std::string* out) {
    if ((isMap && name == kDefaultMapName) || (!isMap && name.empty())) {
        *out = std::string(name);
        return true;
    }
    Result<ServedPath> served = m_service.ConfinePath(name);
    if (!served.ok()) {
        Refused(what, name, served.status().message());
        return false;
    }
    if (served->full.size() > kNameField) {
        Refused(what, name, "full path longer than 99 characters: " + served->full);
        return false;
    }
    *out = served->full;
    return true;
}

kj::Promise<void> VoxaWorkImpl::Track(std::shared_ptr<Job> job, bool wait) {
    m_outstanding.push_back(job);
    kj::Promise<void> done = m_service.Submit(job);
    if (wait) return done;
    done.detach([](kj::Exception&&) {});
    return kj::READY_NOW;
}

bool VoxaWorkImpl::Working() {
    std::erase_if(m_outstanding, [](const std::shared_ptr<Job>& j) {
        return j->done.load(std::memory_order_acquire);
    });
    return !m_outstanding.empty();
}

// --- lifecycle and frames ------------------------------------------------------

kj::Promise<void> VoxaWorkImpl::clearIt(ClearItContext) {
    if (m_startUps == 0) return kj::READY_NOW;  // nothing of this object's to clear
    --m_startUps;
    return m_service.ClearIt();
}

kj::Promise<void> VoxaWorkImpl::startUp(StartUpContext) {
    ++m_startUps;
    return m_service.StartUp();
}

kj::Promise<void> VoxaWorkImpl::setDoRender(SetDoRenderContext) {
    auto job = std::make_shared<Job>(JobKind::kRender);
    job->block = m_block;
    m_lastRender = job;
    // The render takes the request: the object keeps the block without its
    // one-shot flags and with the quality the frame uses, as the engine does.
    m_quality.opacity = m_block.opacity;
    m_quality.nplanes = m_block.nplanes;
    m_quality.maxplanes = m_block.maxplanes;
    m_quality.pixelError = m_block.pixelError;
    m_quality.angleError = m_block.angleError;
    m_quality.sizeError = m_block.sizeError;
    m_block.firstRequest = 0;
    m_block.frustumChanged = 0;
    m_block.mapFlag = 0;
    m_block.viewReset = 0;
    return Track(job, m_blockOnRender == 1);
}

kj::Promise<void> VoxaWorkImpl::stopRendering(StopRenderingContext) {
    m_service.AbortFrame();
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::getPix(GetPixContext context) {
    auto job = std::make_shared<Job>(JobKind::kGetPix);
    return Track(job, true).then([job, context]() mutable {
        context.getResults().setPData(kj::arrayPtr(job->pixels.data(), job->pixels.size()));
    });
}

kj::Promise<void> VoxaWorkImpl::putPix(PutPixContext context) {
    auto p = context.getParams();
    auto data = p.getCPix();
    size_t n = std::min(static_cast<size_t>(std::max(p.getLSize(), 0)), data.size());
    auto job = std::make_shared<Job>(JobKind::kPutPix);
    job->pixels.assign(data.begin(), data.begin() + n);
    context.releaseParams();
    return Track(job, true);
}

kj::Promise<void> VoxaWorkImpl::copyPixToFile(CopyPixToFileContext context) {
    std::string name = FrameFileName(context.getParams().getCFile().cStr(), m_extras.imageName);
    Result<ServedPath> confined = m_service.ConfinePath(name);
    if (!confined.ok()) {
        Refused("CopyPixToFile", name, confined.status().message());
        return kj::READY_NOW;
    }
    auto job = std::make_shared<Job>(JobKind::kGetPix);
    return Track(job, true).then([this, job, served = *confined, name]() {
        if (!job->carriedOut) {
            Refused("CopyPixToFile", name, "no render window (StartUp first)");
            return;
        }
        int err = 0;
        UniqueFd fd = m_service.Roots().Open(served, O_WRONLY | O_CREAT | O_TRUNC, 0644, &err);
        if (!fd || !WriteAll(fd.Get(), job->pixels.data(), job->pixels.size()))
            Refused("CopyPixToFile", name, std::string("cannot write: ") + std::strerror(err));
    });
}

// --- view --------------------------------------------------------------------

kj::Promise<void> VoxaWorkImpl::incrementEyePoint(IncrementEyePointContext context) {
    auto p = context.getParams();
    IncrementEye(m_block, p.getDelx(), p.getDely(), p.getIMouseMode());
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::zoomEyePoint(ZoomEyePointContext context) {
    auto p = context.getParams();
    ZoomEye(m_block, p.getDely(), p.getIMouseMode());
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::saveKey(SaveKeyContext context) {
    if (m_lastRender && m_lastRender->done.load(std::memory_order_acquire) &&
        m_lastRender->carriedOut) {
        m_extras.nx = m_lastRender->volumeSize[0];
        m_extras.ny = m_lastRender->volumeSize[1];
        m_extras.nz = m_lastRender->volumeSize[2];
    }
    Renderparams key = MakeKey(m_block, m_quality, m_extras);
    context.getResults().setSKey(
        kj::arrayPtr(reinterpret_cast<const kj::byte*>(&key), kRenderparamsBytes));
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::restorKey(RestorKeyContext context) {
    auto data = context.getParams().getSKey();
    if (data.size() != kRenderparamsBytes) return kj::READY_NOW;  // not a view key
    Renderparams key;
    std::memcpy(&key, data.begin(), kRenderparamsBytes);
    // The names in the key are paths like any other: all must pass, or the
    // key changes nothing.
    std::string zb, cmap, amap;
    if (!AcceptName("RestorKey (zbname)", NameFieldView(key.zbname), false, &zb) ||
        !AcceptName("RestorKey (cmapname)", NameFieldView(key.cmapname), true, &cmap) ||
        !AcceptName("RestorKey (amapname)", NameFieldView(key.amapname), true, &amap))
        return kj::READY_NOW;
    CopyNameField(key.zbname, zb);
    CopyNameField(key.cmapname, cmap);
    CopyNameField(key.amapname, amap);
    ApplyKey(key, m_block, m_quality, m_extras);
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::setZBname(SetZBnameContext context) {
    std::string name;
    if (AcceptName("Set_ZBname", Cut(context.getParams().getCZBnew().cStr(), kMaxFileName),
                   false, &name))
        CopyNameField(m_block.zbName, name);
    return kj::READY_NOW;
}

namespace {

// SetFrustum and AddFrustum carry the same parameters; a vector of the
// wrong length leaves the block as it was.
template <typename Params>
void ApplyFrustumParams(RenderRequestBlock& block, Params p) {
    float center[3], up[3], normal[3];
    if (Vec3Of(p.getCenter(), center) && Vec3Of(p.getUp(), up) && Vec3Of(p.getNormal(), normal))
        ApplyFrustum(block, center, up, normal, p.getIWidth(), p.getIHeight(), p.getFPanWidth());
}

}  // namespace

kj::Promise<void> VoxaWorkImpl::setFrustum(SetFrustumContext context) {
    ApplyFrustumParams(m_block, context.getParams());
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::addFrustum(AddFrustumContext context) {
    // The same operation as setFrustum: the panel is replaced.
    ApplyFrustumParams(m_block, context.getParams());
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::setLUT(SetLUTContext context) {
    auto p = context.getParams();
    std::string amap, cmap;
    if (AcceptName("SetLUT (opacity map)", Cut(p.getSAmap().cStr(), kMaxFileName), true, &amap) &&
        AcceptName("SetLUT (colour map)", Cut(p.getSCmap().cStr(), kMaxFileName), true, &cmap)) {
        CopyNameField(m_block.amapName, amap);
        CopyNameField(m_block.cmapName, cmap);
    }
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::setRenderQuality(SetRenderQualityContext context) {
    auto p = context.getParams();
    // The block's copies too, so the next frame uses them.
    m_quality.pixelError = m_block.pixelError = p.getIPixErr();
    m_quality.angleError = m_block.angleError = p.getFAngleError();
    m_quality.sizeError = m_block.sizeError = p.getFSizeError();
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::setOpacity(SetOpacityContext context) {
    m_quality.opacity = m_block.opacity = context.getParams().getFOpacity();
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::setNearFarClip(SetNearFarClipContext context) {
    m_block.nearClip = context.getParams().getFNear();
    m_block.farClip = context.getParams().getFFar();
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::setHWnd(SetHWndContext context) {
    // A window of another process cannot be drawn into here; the value is
    // kept and the server draws into its own window (or headless).
    m_hostWindow = static_cast<unsigned long>(context.getParams().getIHWnd());
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::setCurrentWorkingDir(SetCurrentWorkingDirContext context) {
    std::string dir = Cut(context.getParams().getCDir().cStr(), kNameField);
    const Status changed = dir.empty() ? voxa::Refused("empty name") : m_service.ChangeDirectory(dir);
    if (!changed.ok()) {
        Refused("SetCurrentWorkingDir", dir, changed.message());
        return kj::READY_NOW;
    }
    return Track(std::make_shared<Job>(JobKind::kDirsChanged), false);
}

// --- colour points -------------------------------------------------------------

kj::Promise<void> VoxaWorkImpl::setLUTirgb(SetLUTirgbContext context) {
    auto p = context.getParams();
    const int n = p.getN();
    auto ind = p.getInd();
    auto red = p.getRed(), grn = p.getGrn(), blu = p.getBlu();
    if (n < 1 || n > kMaxColorPoints || ind.size() < static_cast<unsigned>(n) ||
        red.size() < static_cast<unsigned>(n) || grn.size() < static_cast<unsigned>(n) ||
        blu.size() < static_cast<unsigned>(n))
        return kj::READY_NOW;
    auto job = std::make_shared<Job>(JobKind::kColorPoints);
    job->count = n;
    for (int i = 0; i < n; ++i) {
        job->index.push_back(ind[static_cast<unsigned>(i)]);
        job->a.push_back(red[static_cast<unsigned>(i)]);
        job->b.push_back(grn[static_cast<unsigned>(i)]);
        job->c.push_back(blu[static_cast<unsigned>(i)]);
    }
    const size_t sn = static_cast<size_t>(n);
    m_colors.SetColorPoints({job->index.data(), sn}, {job->a.data(), sn}, {job->b.data(), sn},
                            {job->c.data(), sn});
    return Track(job, false);
}

kj::Promise<void> VoxaWorkImpl::setLUTia(SetLUTiaContext context) {
    auto p = context.getParams();
    const int n = p.getN();
    auto ind = p.getInd();
    auto alpha = p.getAlpha();
    if (n < 1 || n > kMaxColorPoints || ind.size() < static_cast<unsigned>(n) ||
        alpha.size() < static_cast<unsigned>(n))
        return kj::READY_NOW;
    auto job = std::make_shared<Job>(JobKind::kAlphaPoints);
    job->count = n;
    for (int i = 0; i < n; ++i) {
        job->index.push_back(ind[static_cast<unsigned>(i)]);
        job->a.push_back(alpha[static_cast<unsigned>(i)]);
    }
    const size_t sn = static_cast<size_t>(n);
    m_colors.SetAlphaPoints({job->index.data(), sn}, {job->a.data(), sn});
    return Track(job, false);
}

kj::Promise<void> VoxaWorkImpl::getLUT32irgb(GetLUT32irgbContext context) {
    const ColorPoints& c = m_colors.GetColorPoints();
    auto r = context.getResults();
    const unsigned n = static_cast<unsigned>(c.count);
    r.setN(c.count);
    auto ind = r.initInd(n);
    auto red = r.initRed(n);
    auto grn = r.initGrn(n);
    auto blu = r.initBlu(n);
    for (unsigned i = 0; i < n; ++i) {
        ind.set(i, c.index[i]);
        red.set(i, c.red[i]);
        grn.set(i, c.green[i]);
        blu.set(i, c.blue[i]);
    }
    return kj::READY_NOW;
}

kj::Promise<void> VoxaWorkImpl::getLUT32ia(GetLUT32iaContext context) {
    const AlphaPoints& a = m_colors.GetAlphaPoints();
    auto r = context.getResults();
    const unsigned n = static_cast<unsigned>(a.count);
    r.setN(a.count);
    auto ind = r.initInd(n);
    auto alp = r.initAlp(n);
    for (unsigned i = 0; i < n; ++i) {
        ind.set(i, a.index[i]);
        alp.set(i, a.alpha[i]);
    }
    return kj::READY_NOW;
}

// --- options and status ----------------------------------------------------------

kj::Promise<void> VoxaWorkImpl::setOption(SetOptionContext context) {
    auto p = context.getParams();
    std::string key = Cut(p.getWcKey().cStr(), kMaxOptionText);
    std::string value = Cut(p.getWcValue().cStr(), kMaxOptionText);
    // The calling object's own settings.
    if (key == kOptBlockOnRender) {
        int v = 0;
        if (std::sscanf(value.c_str(), "%d", &v) == 1) m_blockOnRender = v;
        return kj::READY_NOW;
    }
    if (key == kOptSetStatusRequest) {
        m_statusRequest = value;
        return kj::READY_NOW;
    }
    if (key == kOptScreenRatio) return kj::READY_NOW;  // a render-node setting
    if (key == kOptTimerOutputFile || key == kOptYfile) {
        // The timer file is written by the server, the "cross" file read by
        // it: paths like any other.
        char word[kMaxOptionText + 1] = {};
        if (std::sscanf(value.c_str(), "%255s", word) != 1) return kj::READY_NOW;
        Result<ServedPath> served = m_service.ConfinePath(word);
        if (!served.ok()) {
            Refused(("SetOption " + key).c_str(), word, served.status().message());
            return kj::READY_NOW;
        }
        value = served->full;
    }
    auto job = std::make_shared<Job>(JobKind::kOption);
    job->key = std::move(key);
    job->value = std::move(value);
    return Track(job, true);
}

kj::Promise<void> VoxaWorkImpl::getStatus(GetStatusContext context) {
    std::string reply = Working() ? kReplyWorking : kReplyIdle;
    if (m_statusRequest == kStatusPriorityRequest) {
        char buf[16];
        std::snprintf(buf, sizeof(buf), "%hd", m_service.Priority());
        reply = buf;
        m_statusRequest = kStatusRendering;
    } else if (m_statusRequest == kStatusIsGlWindowUp) {
        reply = m_service.WindowUp() ? kReplyGlWindowIsUp : kReplyGlWindowIsDown;
        m_statusRequest = kStatusRendering;
    } else if (m_statusRequest == kStatusGetAllPreviousOptions) {
        reply = m_service.OptionHistory();
        m_statusRequest = kStatusRendering;
    } else if (m_statusRequest == kStatusLastFrameResult) {
        if (m_lastRender && !m_lastRender->done.load(std::memory_order_acquire))
            reply = kReplyWorking;
        else if (m_lastRender && m_lastRender->carriedOut)
            reply = std::to_string(m_lastRender->frameResult);
        else
            reply = kReplyNone;
        m_statusRequest = kStatusRendering;
    }
    context.getResults().setWcStatus(reply);
    return kj::READY_NOW;
}

// --- the program ---------------------------------------------------------------

std::optional<hosting::ObjectFactory> MakeWorkFactory(const hosting::ServerCommandLine& cl,
                                                      kj::AsyncIoContext& /*io*/, bool headless,
                                                      std::string* error) {
    DataRoots roots;
    std::vector<std::string> warnings;
    if (!hosting::BuildDataRoots(cl, &roots, &warnings, error)) return std::nullopt;
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "%s: warning: %s\n", kServerName, warning.c_str());
    auto service = std::make_shared<WorkService>(
        std::move(roots), headless ? DisplayMode::kHeadless : DisplayMode::kAuto);
    return hosting::ObjectFactory([service](hosting::ObjectRef ref) -> capnp::Capability::Client {
        return kj::heap<VoxaWorkImpl>(*service, std::move(ref), service);
    });
}

}  // namespace voxa::render_server
