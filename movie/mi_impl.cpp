#include "movie/mi_impl.h"

#include "hosting/data_root_options.h"

#include <cstdio>

namespace voxa::movie {

const char* const kReelOptionsHelp =
    "  --headless               no window: frames are drawn to an off-screen surface\n"
    "  --draw-pixels            draw frames with glDrawPixels rather than through a\n"
    "                           texture (slower; for comparison)\n"
    "  --no-realtime            keep the display thread at normal priority (it takes\n"
    "                           the lowest real-time priority where the system allows)\n"
    "  --make-test-movie FILE WIDTH HEIGHT FRAMES\n"
    "                           write a test movie (each frame's number in its pixels)\n"
    "                           and exit\n";

MiImpl::MiImpl(const PlayerConfig& config, hosting::ObjectRef ref)
    : m_player(std::make_unique<Player>(config)), m_ref(std::move(ref)) {}

kj::Promise<void> MiImpl::getTime(GetTimeContext context) {
    context.getResults().setLTime(static_cast<int32_t>(m_player->GetTime()));
    return kj::READY_NOW;
}

kj::Promise<void> MiImpl::initialize(InitializeContext context) {
    auto p = context.getParams();
    m_player->Initialize(p.getWcFile().cStr(), p.getINx(), p.getINy(), p.getINframes());
    return kj::READY_NOW;
}

kj::Promise<void> MiImpl::shutDown(ShutDownContext) {
    m_player->ShutDown();
    return kj::READY_NOW;
}

kj::Promise<void> MiImpl::framePP(FramePPContext) {
    m_player->FramePP();
    return kj::READY_NOW;
}

kj::Promise<void> MiImpl::setOffset(SetOffsetContext context) {
    m_player->SetOffset(context.getParams().getLTimeOffset());
    return kj::READY_NOW;
}

kj::Promise<void> MiImpl::setMovieParameters(SetMovieParametersContext context) {
    auto p = context.getParams();
    m_player->SetMovieParameters(p.getITime0(), p.getIFrame0(), p.getFFrame0m(), p.getFFrame0p());
    return kj::READY_NOW;
}

kj::Promise<void> MiImpl::setOption(SetOptionContext context) {
    auto p = context.getParams();
    m_player->SetOption(p.getWcKey().cStr(), p.getWcValue().cStr());
    return kj::READY_NOW;
}

kj::Promise<void> MiImpl::getStatus(GetStatusContext context) {
    context.getResults().setWcStatus(m_player->GetStatus());
    return kj::READY_NOW;
}

std::optional<hosting::ObjectFactory> MakeMiFactory(const hosting::ServerCommandLine& cl,
                                                    const PlayerConfig& base,
                                                    std::string* error) {
    auto roots = std::make_shared<DataRoots>();
    std::vector<std::string> warnings;
    if (!hosting::BuildDataRoots(cl, roots.get(), &warnings, error)) return std::nullopt;
    for (const std::string& w : warnings) std::fprintf(stderr, "reel1: %s\n", w.c_str());
    if (!base.headless) InstallXErrorHandler();
    return hosting::ObjectFactory([roots, base](hosting::ObjectRef ref) {
        PlayerConfig config = base;
        config.roots = roots.get();  // shared_ptr kept alive by this factory
        return capnp::Capability::Client(kj::heap<MiImpl>(config, std::move(ref)));
    });
}

}  // namespace voxa::movie
