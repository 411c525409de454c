#include "queue/movie_preview.h"

#include "engine/context/pixel_files.h"
#include "queue/frame_queue.h"
#include "queue/movie_render.h"

#include <fstream>
#include <ostream>

namespace voxa::queue {

namespace {
constexpr char kProgram[] = "voxa_render";

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

int RenderMoviePreview(const MoviePreviewRequest& request, std::ostream& out, std::ostream& err) {
    auto fail = [&](int code, const std::string& why) {
        err << kProgram << ": " << why << "\n";
        return code;
    };
    auto settings = ReadQueueSettings();
    if (!settings.ok()) return fail(2, settings.status().message());
    auto db = QueueDb::ConnectQueueHost(*settings);
    if (!db.ok()) return fail(1, db.status().message());
    if (Status s = (*db)->UseOrCreateDatabase(settings->database); !s.ok()) return fail(1, s.message());
    auto movie = LoadMovieByName(**db, request.movie, request.windowWidth, request.windowHeight);
    if (!movie.ok())
        return fail(movie.status().code() == StatusCode::kUnavailable ? 1 : 2, movie.status().message());
    if (request.panel < 0 || request.panel >= static_cast<int>(movie->panels.size()))
        return fail(2, "movie '" + request.movie + "' has panels 0 to " +
                           std::to_string(movie->panels.size() - 1));
    const std::string host = request.filesHost.empty() ? LocalHostName() : request.filesHost;
    if (request.frames < 1 || static_cast<int>(request.outFiles.size()) != request.frames)
        return fail(2, "one output file per frame is needed");
    HeadlessEngine engine(request.windowWidth, request.windowHeight);
    if (Status s = engine.Start(); !s.ok()) return fail(1, s.message());
    if (Status s = engine.BeginMovie(*movie); !s.ok()) return fail(1, s.message());
    const Panel& panel = movie->panels[static_cast<size_t>(request.panel)];
    for (int i = 0; i < request.frames; ++i) {
        const int number = request.frame + i;
        const std::string& outFile = request.outFiles[static_cast<size_t>(i)];
        auto zb = movie->frameZb.find(number);
        if (zb == movie->frameZb.end())
            return fail(2, "movie '" + request.movie + "' has no frame " + std::to_string(number));
        auto path = LookUpZbPath(**db, host, zb->second,
                                 [&](const std::string& t) { err << kProgram << ": " << t; });
        if (!path.ok()) return fail(1, path.status().message());
        if (path->empty())
            return fail(2, "the ZB file '" + zb->second + "' of frame " + std::to_string(number) +
                               " is not registered for host " + host + " in Files");
        auto keywords = (*db)->SelectValue(FrameTable(movie->name), "voxain",
                                           "number=" + std::to_string(number));
        if (!keywords.ok()) return fail(1, keywords.status().message());
        auto pixels = engine.RenderPanel(*movie, keywords->value_or(""), *path, request.panel);
        if (!pixels.ok()) return fail(1, pixels.status().message());
        if (EndsWith(outFile, ".png")) {
            if (Status written = WritePngImage(outFile, panel.width, panel.height, *pixels); !written.ok())
                return fail(1, outFile + ": " + written.message());
        } else {
            std::ofstream file(outFile, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(pixels->data()),
                       static_cast<std::streamsize>(pixels->size()));
            if (!file) return fail(1, outFile + ": cannot write the file");
        }
        out << kProgram << ": movie " << request.movie << " frame " << number << " panel "
            << request.panel << " (" << panel.width << "x" << panel.height << ") -> " << outFile << "\n";
    }
    return 0;
}

}  // namespace voxa::queue
