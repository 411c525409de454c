// The mi component object: Imi over one Player.
//
// Each object owns its own player (its own ring, readers, clock and
// window); releasing the object shuts its player down. Runs on the main
// thread; no call waits for anything but the player's own threads.
#pragma once

#include "hosting/interfaces.capnp.h"
#include "hosting/server_shell.h"
#include "movie/reel_player.h"

#include <kj/async-io.h>

#include <memory>
#include <optional>
#include <string>

namespace voxa::movie {

class MiImpl final : public rpc::Imi::Server {
public:
    MiImpl(const PlayerConfig& config, hosting::ObjectRef ref);

    Player& GetPlayer() { return *m_player; }

protected:
    kj::Promise<void> getTime(GetTimeContext context) override;
    kj::Promise<void> initialize(InitializeContext context) override;
    kj::Promise<void> shutDown(ShutDownContext context) override;
    kj::Promise<void> framePP(FramePPContext context) override;
    kj::Promise<void> setOffset(SetOffsetContext context) override;
    kj::Promise<void> setMovieParameters(SetMovieParametersContext context) override;
    kj::Promise<void> setOption(SetOptionContext context) override;
    kj::Promise<void> getStatus(GetStatusContext context) override;

private:
    std::unique_ptr<Player> m_player;
    hosting::ObjectRef m_ref;
};

// Server-specific option help (--headless, --draw-pixels, --no-realtime)
// besides the data-root options.
extern const char* const kReelOptionsHelp;

// Everything reel1 serves with: data roots from the command line, the
// players' settings (base: headless, drawing; its roots are replaced) and
// the object factory.
std::optional<hosting::ObjectFactory> MakeMiFactory(const hosting::ServerCommandLine& cl,
                                                    const PlayerConfig& base,
                                                    std::string* error);

}  // namespace voxa::movie
