#include "queue/frame_queue.h"

#include "platform/debug_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace voxa::queue {

namespace {
constexpr int kPage = 10;
constexpr size_t kMaxZbPath = 99;
}  // namespace

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

QueueNode::QueueNode(NodeConfig config, FrameRenderer& renderer, PanelSink& sink,
                     const std::atomic<bool>* stop)
    : m_config(std::move(config)), m_renderer(renderer), m_sink(sink), m_stop(stop) {
    if (m_config.nodeName.empty()) m_config.nodeName = LocalHostName();
    if (m_config.filesHost.empty()) m_config.filesHost = LocalHostName();
    if (m_config.staleSeconds < 0) m_config.staleSeconds = 0;
}

QueueNode::~QueueNode() = default;

void QueueNode::Log(const std::string& text) {
    AppendDebugText(kNodeLogFile, text);
    if (m_config.verbose > 0) std::cout << text << std::flush;
}

int QueueNode::Fail(const Status& status) {
    m_lastError = status.message();
    Log(status.message() + "\n");
    m_db.reset();  // reconnect at the next step
    m_outcome = StepOutcome::kFailed;
    return 0;
}

void QueueNode::GiveUpMovie() {
    m_movie.reset();
    ++m_movieIndex;
}

Result<uint64_t> QueueNode::MarkFinished(const std::string& table, int number) {
    return m_db->UpdateRows(table,
                            "status=" + m_db->Quote(kFinishedBy + m_config.nodeName) +
                                ", start=start, finish=NOW()",
                            "number=" + std::to_string(number) +
                                " and status=" + m_db->Quote(StartedStatus()));
}

bool QueueNode::IdleRoundDone() const {
    if (m_pendingFinish) return false;
    if (m_noMovie || m_outcome == StepOutcome::kTooSmall) return true;
    return m_idleSteps > 0 && m_idleSteps >= m_readyMovies;
}

Status QueueNode::EnsureConnected() {
    if (m_db) return Status::Ok();
    VOXA_ASSIGN_OR_RETURN(m_db, QueueDb::ConnectQueueHost(m_config.settings));
    Status use = m_db->UseOrCreateDatabase(m_config.settings.database);
    if (!use.ok()) {
        m_db.reset();
        return use;
    }
    return Status::Ok();
}

Result<std::string> LookUpZbPath(QueueDb& db, const std::string& host, const std::string& zbName,
                                 const std::function<void(const std::string&)>& log) {
    if (zbName.empty()) return std::string();
    VOXA_ASSIGN_OR_RETURN(Rows rows, db.Query("select mount,dir,name from " + std::string(kFilesTable) +
                                              " where host=" + db.Quote(host) +
                                              " and name=" + db.Quote(zbName) + " order by number"));
    std::string path;
    for (const Row& r : rows) {  // with several rows the last one counts
        if (r.size() < 3 || !r[2] || *r[2] != zbName) continue;
        path = r[0].value_or("") + r[1].value_or("") + "/" + zbName;
    }
    if (path.size() > kMaxZbPath) {
        if (log) log("ZB path longer than 99 characters, not held: " + path + "\n");
        path.clear();
    }
    return path;
}

Result<std::string> QueueNode::LookUpZb(const std::string& zbName) {
    if (auto it = m_zbCache.find(zbName); it != m_zbCache.end()) return it->second;
    VOXA_ASSIGN_OR_RETURN(std::string path, LookUpZbPath(*m_db, m_config.filesHost, zbName,
                                                         [this](const std::string& t) { Log(t); }));
    m_zbCache[zbName] = path;
    return path;
}

Result<std::optional<QueueNode::Candidate>> QueueNode::ClaimFrame(bool takeOver) {
    const std::string table = FrameTable(m_movie->name);
    const std::string stale = "status like 'Started%' and start < NOW() - INTERVAL " +
                              std::to_string(m_config.staleSeconds) + " SECOND";
    const std::string mode = takeOver ? stale : "status='" + std::string(kFrameNew) + "'";
    int after = 0;
    while (true) {
        VOXA_ASSIGN_OR_RETURN(auto rows,
                              m_db->SelectNumberStatus(table, mode + " and number > " +
                                                                  std::to_string(after) +
                                                                  " order by number limit " +
                                                                  std::to_string(kPage)));
        Log(std::string(takeOver ? "Looked for timouts" : "Looked for New work") +
            ": iN_work=" + std::to_string(rows.size()) + "\n");
        if (rows.empty()) return std::optional<Candidate>();
        for (const auto& row : rows) {
            after = row.number;
            auto zb = m_movie->frameZb.find(row.number);
            if (zb == m_movie->frameZb.end()) {
                // Added after the movie was loaded: read its file name now.
                VOXA_ASSIGN_OR_RETURN(auto name, m_db->SelectValue(table, "zbfile",
                                                                   "number=" + std::to_string(row.number)));
                zb = m_movie->frameZb.emplace(row.number, name.value_or("")).first;
            }
            VOXA_ASSIGN_OR_RETURN(std::string path, LookUpZb(zb->second));
            if (path.empty()) continue;
            VOXA_ASSIGN_OR_RETURN(uint64_t changed,
                                  m_db->UpdateRows(table,
                                                   "status=" + m_db->Quote(StartedStatus()) +
                                                       ", start=NOW()",
                                                   "number=" + std::to_string(row.number) + " and " + mode));
            if (changed == 1) return std::optional<Candidate>(Candidate{row.number, path});
            // Another node was quicker; try the next one.
        }
        if (static_cast<int>(rows.size()) < kPage) return std::optional<Candidate>();
    }
}

Status QueueNode::ReleaseClaim(int number) {
    auto done = m_db->UpdateRows(FrameTable(m_movie->name), "status='New', start=NULL",
                                 "number=" + std::to_string(number) +
                                     " and status=" + m_db->Quote(StartedStatus()));
    return done.status();
}

Result<bool> QueueNode::NothingLeft() {
    VOXA_ASSIGN_OR_RETURN(Rows rows, m_db->Query("select count(*) from " + FrameTable(m_movie->name) +
                                                 " where status='New' or status like 'Started%'"));
    if (rows.empty() || rows[0].empty() || !rows[0][0]) return Failed("count of frames left failed");
    return std::atoi(rows[0][0]->c_str()) == 0;
}

Result<uint64_t> QueueNode::CompleteMovie() {
    return m_db->UpdateRows(kMoviesTable, "status='" + std::string(kStatusCompleted) + "'",
                            "number=" + std::to_string(m_movie->number));
}

int QueueNode::RunQueueStep() {
    if (m_config.previewRule && m_config.windowWidth < 200 && m_config.windowHeight < 200) {
        m_outcome = StepOutcome::kTooSmall;
        return 0;
    }
    m_zbCache.clear();
    if (Status s = EnsureConnected(); !s.ok()) return Fail(s);
    if (m_pendingFinish) {
        auto finished = MarkFinished(m_pendingFinish->table, m_pendingFinish->number);
        if (!finished.ok()) return Fail(finished.status());
        Log("Frame " + std::to_string(m_pendingFinish->number) +
            (*finished == 1 ? " marked finished after reconnecting\n"
                            : " was taken over before it was marked finished here\n"));
        m_pendingFinish.reset();
    }

    if (!m_movie) {
        auto setUp = SetUpNextMovie(*m_db, &m_movieIndex, m_config.windowWidth,
                                    m_config.windowHeight, [this](const std::string& t) { Log(t); });
        if (!setUp.ok()) return Fail(setUp.status());
        m_readyMovies = setUp->readyMovies;
        if (!setUp->movie) {
            m_noMovie = true;
            m_outcome = StepOutcome::kNoMovie;
            return 0;
        }
        m_noMovie = false;
        m_movie = std::move(setUp->movie);
        Status begin = m_renderer.BeginMovie(*m_movie);
        if (!begin.ok()) {
            Log("Movie " + m_movie->name + ": " + begin.message() + "\n");
            GiveUpMovie();
            ++m_idleSteps;
            m_outcome = StepOutcome::kGaveUp;
            return 0;
        }
        Log("MOVIE: " + m_movie->name + "   # Movie Frames: " + std::to_string(m_movie->FrameCount()) +
            "   # Panels: " + std::to_string(m_movie->panels.size()) + "\n");
    }

    auto claimed = ClaimFrame(false);
    if (claimed.ok() && !*claimed) claimed = ClaimFrame(true);
    if (!claimed.ok()) return Fail(claimed.status());
    if (!*claimed) {
        auto empty = NothingLeft();
        if (!empty.ok()) return Fail(empty.status());
        if (*empty) {
            auto done = CompleteMovie();
            if (!done.ok()) return Fail(done.status());
            Log("Movie " + m_movie->name + " completed\n");
            GiveUpMovie();
            m_idleSteps = 0;
            m_outcome = StepOutcome::kCompleted;
            return 1;
        }
        Log("There are no frames for this node to do\n");
        GiveUpMovie();
        ++m_idleSteps;
        m_outcome = StepOutcome::kGaveUp;
        return 0;
    }
    const Candidate frame = **claimed;
    const std::string table = FrameTable(m_movie->name);
    auto keywords = m_db->SelectValue(table, "voxain", "number=" + std::to_string(frame.number));
    if (!keywords.ok()) return Fail(keywords.status());
    Log("iFrame=" + std::to_string(frame.number - 1) + "  iN_MovieFrames=" +
        std::to_string(m_movie->FrameCount()) + "  movie=" + m_movie->name +
        "  full path to ZB file is: " + frame.zbPath + "\n");

    for (size_t p = 0; p < m_movie->panels.size(); ++p) {
        if (m_stop != nullptr && m_stop->load(std::memory_order_acquire)) {
            Status released = ReleaseClaim(frame.number);
            Log("Stopped: frame " + std::to_string(frame.number) + " goes back to New" +
                (released.ok() ? "" : " (failed: " + released.message() + ")") + "\n");
            m_outcome = StepOutcome::kStopped;
            return 0;
        }
        auto pixels = m_renderer.RenderPanel(*m_movie, keywords->value_or(""), frame.zbPath,
                                             static_cast<int>(p));
        Status delivered = pixels.ok() ? m_sink.Deliver(m_movie->panels[p], frame.number - 1, *pixels)
                                       : pixels.status();
        if (!delivered.ok()) {
            m_lastError = "frame " + std::to_string(frame.number) + " panel " + std::to_string(p) +
                          ": " + delivered.message();
            Log(m_lastError + "; the frame stays claimed, movie dropped\n");
            GiveUpMovie();
            m_outcome = StepOutcome::kFrameFailed;
            return 0;
        }
    }

    auto finished = MarkFinished(table, frame.number);
    if (!finished.ok()) {
        // Rendered and delivered: only the mark is missing, so it is not left
        // for a take-over to render again.
        m_pendingFinish = PendingFinish{table, frame.number};
        return Fail(finished.status());
    }
    if (*finished != 1)
        Log("Frame " + std::to_string(frame.number) + " was taken over before it was finished here\n");
    ++m_framesRendered;
    m_idleSteps = 0;
    m_outcome = StepOutcome::kRendered;

    auto empty = NothingLeft();
    if (!empty.ok()) return Fail(empty.status());
    if (*empty) {
        auto done = CompleteMovie();
        if (!done.ok()) return Fail(done.status());
        Log("Movie " + m_movie->name + " completed\n");
        GiveUpMovie();
        m_outcome = StepOutcome::kCompleted;
    }
    return 1;
}

}  // namespace voxa::queue
