// One panel of one queued movie frame rendered exactly as a render node
// renders it (same options, baseline view key, frustum, centre cut), for a
// preview before farming and as the reference the farm is checked against.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace voxa::queue {

struct MoviePreviewRequest {
    std::string movie;
    int frame = 1;       // first frame number (1-based)
    int frames = 1;      // frames frame, frame + 1, ... rendered in turn
    int panel = 0;       // panel index
    int windowWidth = 1280;   // the node's render size (its -geometry)
    int windowHeight = 1024;
    std::string filesHost;    // whose Files rows locate the ZB file; default this host
    std::vector<std::string> outFiles;  // one per frame: .pix (the movie file's bytes) or .png
};

// Renders and writes the panel; 0 done, 1 failure (database, rendering,
// writing), 2 bad request (no such movie, frame or panel; file not held).
int RenderMoviePreview(const MoviePreviewRequest& request, std::ostream& out, std::ostream& err);

}  // namespace voxa::queue
