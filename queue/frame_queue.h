// The render node's side of the frame queue.
//
// Each call of RunQueueStep does one queue step: (re)connect when there is
// no connection, take a movie when none is in hand (round robin over the
// ready movies), find a frame whose ZB file this host holds (table Files),
// claim it, render every panel, deliver each panel image into its movie
// file, mark the frame finished and the movie completed when nothing is
// left.
//
// Claims are exclusive: a frame is taken with a conditional update ("and
// status='New'", or the stale condition when taking over a claim older
// than the stale time) that must change exactly one row. Times are stamped
// by the server (NOW()). A frame whose rendering or delivery fails stays
// claimed (another node takes it over once the claim is stale) and the
// node drops the movie. When the stop flag rises mid-frame the claim goes
// back to "New".
//
// The connection is kept between steps and dropped after any failure, so a
// restarted database server is reconnected at the next step.
//
// One thread (the one that owns the renderer).
#pragma once

#include "queue/frame_delivery.h"
#include "queue/movie_render.h"
#include "queue/movie_setup.h"
#include "queue/queue_db.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace voxa::queue {

inline constexpr char kNodeLogFile[] = "C:/DEBUG_SCR1.txt";
inline constexpr char kFrameNew[] = "New";
inline constexpr char kStartedBy[] = "Started by ";
inline constexpr char kFinishedBy[] = "Finished by ";
inline constexpr int kDefaultStaleSeconds = 300;

struct NodeConfig {
    QueueSettings settings;
    std::string nodeName;   // in "Started by" / "Finished by"; default: the host name
    std::string filesHost;  // key of this host's rows in Files; default: the host name
    int windowWidth = 1280;
    int windowHeight = 1024;
    int staleSeconds = kDefaultStaleSeconds;
    int verbose = 0;        // 1: also echo the log to standard output
    // A window under 200 pixels both ways is a preview: no queue work. A
    // headless node has no preview and renders small sizes too.
    bool previewRule = true;
};

// What the last step did.
enum class StepOutcome {
    kRendered,     // a frame was rendered, delivered and finished
    kCompleted,    // the movie was marked completed
    kNoMovie,      // no movie ready
    kGaveUp,       // the movie in hand had nothing for this node; given up
    kFrameFailed,  // rendering or delivery failed; frame left claimed, movie dropped
    kStopped,      // the stop flag rose mid-frame; claim released
    kFailed,       // database failure (connection dropped)
    kTooSmall,     // preview window: no queue work
};

class QueueNode {
public:
    // stop (may be null): raised by a signal handler to end mid-frame.
    QueueNode(NodeConfig config, FrameRenderer& renderer, PanelSink& sink,
              const std::atomic<bool>* stop = nullptr);
    ~QueueNode();

    // 1 when a frame was rendered or a movie completed, else 0.
    int RunQueueStep();
    StepOutcome LastOutcome() const { return m_outcome; }
    // True once the steps since the last rendered frame have found nothing
    // for this node in every ready movie (or no movie is ready).
    bool IdleRoundDone() const;

    const std::string& NodeName() const { return m_config.nodeName; }
    const std::string& LastError() const { return m_lastError; }
    int FramesRendered() const { return m_framesRendered; }

    // Appends a line to the node's log file (and standard output when verbose).
    void Log(const std::string& text);

private:
    struct Candidate {
        int number = 0;
        std::string zbPath;
    };
    int Fail(const Status& status);
    void GiveUpMovie();
    Status EnsureConnected();
    // The full path of a ZB file this host holds ("" when not held).
    Result<std::string> LookUpZb(const std::string& zbName);
    // Finds and claims a frame; nullopt when nothing is left for this node.
    Result<std::optional<Candidate>> ClaimFrame(bool takeOver);
    Status ReleaseClaim(int number);
    Result<bool> NothingLeft();
    Result<uint64_t> CompleteMovie();
    // Marks a rendered and delivered frame finished if this node still holds it.
    Result<uint64_t> MarkFinished(const std::string& table, int number);
    std::string StartedStatus() const { return kStartedBy + m_config.nodeName; }

    NodeConfig m_config;
    FrameRenderer& m_renderer;
    PanelSink& m_sink;
    const std::atomic<bool>* m_stop;
    std::unique_ptr<QueueDb> m_db;
    std::optional<Movie> m_movie;
    int m_movieIndex = 0;
    std::map<std::string, std::string> m_zbCache;  // this step's look-ups
    StepOutcome m_outcome = StepOutcome::kNoMovie;
    int m_idleSteps = 0;
    int m_readyMovies = 0;
    bool m_noMovie = false;
    int m_framesRendered = 0;
    std::string m_lastError;
    // A frame delivered in full whose "Finished" could not be written (the
    // database went away): written at the next step that reaches the server.
    struct PendingFinish {
        std::string table;
        int number = 0;
    };
    std::optional<PendingFinish> m_pendingFinish;
};

// The host name of this machine.
std::string LocalHostName();

// Full path ("mount" + "dir" + "/" + name) of the ZB file `zbName` that
// `host` holds according to Files, matching the name exactly (with several
// rows the last one counts); "" when not held or when the path is longer
// than a ZB name field holds (99 characters; reported through log).
Result<std::string> LookUpZbPath(QueueDb& db, const std::string& host, const std::string& zbName,
                                 const std::function<void(const std::string&)>& log);

}  // namespace voxa::queue
