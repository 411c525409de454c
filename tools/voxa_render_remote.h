// voxa_render --host: the same frames as direct mode, rendered by a
// voxa_server object on a render host through Ivoxa_work and read back with
// GetPix; the files are written here, byte for byte as direct mode writes
// them.
#pragma once

#include "tools/voxa_render.h"

#include <iosfwd>

namespace voxa {

// Runs parsed arguments whose host is set; the exit status as
// RunVoxaRender's (1 also when the server cannot be reached or answers
// without a frame).
int RunVoxaRenderRemote(const VoxaRenderArgs& args, std::ostream& out, std::ostream& err);

}  // namespace voxa
