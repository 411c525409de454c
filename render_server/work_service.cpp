#include "render_server/work_service.h"

#include "platform/debug_file.h"
#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace voxa::render_server {

namespace {

// A client name relative to dir made absolute (drive paths and backslashes
// are turned into Linux paths first).
std::string Absolute(std::string_view path, const std::string& dir) {
    std::string linuxPath = DrivePath(path);
    if (linuxPath.empty() || linuxPath[0] == '/') return linuxPath;
    return dir + "/" + linuxPath;
}

std::string CurrentDirectory() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof(buf)) != nullptr ? std::string(buf) : std::string("/");
}

}  // namespace

WorkService::WorkService(DataRoots roots, DisplayMode display)
    : m_roots(std::move(roots)),
      m_cwd(CurrentDirectory()),
      m_context(m_process),
      m_pipeline(m_process) {
    m_process.SetDisplayMode(display);
    m_pipeline.Attach(m_context);
    // A ZB file in the roots may name data files anywhere: each is checked
    // as a path asked for by a client would be.
    m_process.Hooks().checkDataFile = [this](const std::string& path) -> Status {
        Status allowed = m_roots.Check(path).status();
        if (!allowed.ok()) Log("voxa_server: data file refused '" + path + "': " + allowed.message());
        return allowed;
    };
}

WorkService::~WorkService() {
    if (m_state != ThreadState::kStopped) {
        // The process is ending: the window goes down and the thread ends
        // before the context and the readers are destroyed.
        AbortFrame();  // a long frame would hold the exit up
        if (m_state == ThreadState::kRunning) {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_queue.push_back(std::make_shared<Job>(JobKind::kExit));
        }
        m_queueWake.notify_one();
    }
    if (m_thread.joinable()) m_thread.join();
    m_threadEnded = nullptr;
}

void WorkService::Log(const std::string& text) { AppendDebugText(kDebugVoxaFile, text + "\n"); }

// --- render thread lifecycle ------------------------------------------------

kj::Promise<void> WorkService::WhenNotStopping() {
    KJ_IF_MAYBE(ended, m_threadEnded) {
        if (m_state == ThreadState::kStopping) return ended->addBranch();
    }
    return kj::READY_NOW;
}

kj::Promise<void> WorkService::StartUp() {
    ++m_users;
    // Two StartUps in a row find the first thread running: one thread.
    if (m_state == ThreadState::kStopped) StartThread();
    if (m_state != ThreadState::kStopping) return kj::READY_NOW;
    return WhenNotStopping().then([this]() {
        if (m_state == ThreadState::kStopped && m_users > 0) StartThread();
    });
}

kj::Promise<void> WorkService::ClearIt() {
    if (m_users == 0) return kj::READY_NOW;  // no StartUp to match: nothing to do
    if (--m_users > 0 || m_state != ThreadState::kRunning) return kj::READY_NOW;
    m_state = ThreadState::kStopping;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.push_back(std::make_shared<Job>(JobKind::kExit));
    }
    m_queueWake.notify_one();
    return WhenNotStopping();
}

void WorkService::StartThread() {
    if (m_thread.joinable()) m_thread.join();  // a thread that ended by itself
    auto ended = kj::newPromiseAndCrossThreadFulfiller<void>();
    m_threadEnded = ended.promise
                        .then([this]() {
                            if (m_thread.joinable()) m_thread.join();
                            m_state = ThreadState::kStopped;
                            // Jobs queued after the thread's last look end here.
                            std::deque<std::shared_ptr<Job>> left;
                            {
                                std::lock_guard<std::mutex> lock(m_queueMutex);
                                left.swap(m_queue);
                            }
                            for (auto& job : left) Complete(*job);
                        })
                        .eagerlyEvaluate(nullptr)
                        .fork();
    m_state = ThreadState::kRunning;
    ++m_threadsStarted;
    m_endedFulfiller = kj::mv(ended.fulfiller);
    m_thread = std::thread([this]() {
        RenderLoop();
        m_endedFulfiller->fulfill();
    });
}

void WorkService::RenderLoop() {
    m_context.StartUp();  // window and GL context on this thread, brick readers
    if (m_context.Window() == nullptr) {
        Log("voxa_server: the render window could not be made (see the lines above); "
            "requests are answered without rendering until the next StartUp");
    } else {
        m_windowUp.store(true, std::memory_order_release);
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(m_queueMutex);
                m_queueWake.wait(lock, [this] { return !m_queue.empty(); });
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            if (job->kind == JobKind::kExit) {
                m_context.ClearIt();  // the last user: the window goes down
                m_windowUp.store(false, std::memory_order_release);
                Complete(*job);
                break;
            }
            CarryOut(*job);
            job->carriedOut = true;
            Complete(*job);
        }
    }
    // The engine's own count: one StartUp per thread, matched here.
    while (m_process.UserCount() > 0) m_context.ClearIt();
    m_windowUp.store(false, std::memory_order_release);
    // Whatever is still queued ends with the thread: nobody waits for ever.
    std::deque<std::shared_ptr<Job>> left;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        left.swap(m_queue);
    }
    for (auto& job : left) Complete(*job);
}

void WorkService::Complete(Job& job) {
    job.done.store(true, std::memory_order_release);
    if (job.fulfiller) job.fulfiller->fulfill();
}

void WorkService::CarryOut(Job& job) {
    switch (job.kind) {
        case JobKind::kRender: {
            m_context.SetRequestBlock(job.block);
            {
                std::lock_guard<std::mutex> lock(m_abortMutex);
                m_rendering.store(true, std::memory_order_release);
            }
            m_context.SetDoRender();
            {
                // A stop that came as the frame was ending must not stay
                // raised and end the next frame at its start.
                std::lock_guard<std::mutex> lock(m_abortMutex);
                m_rendering.store(false, std::memory_order_release);
                m_process.ClearAbort();
                m_pipeline.Cache().ClearAbort();
            }
            job.frameResult = m_context.LastFrameResult();
            job.aborted = m_pipeline.LastFrame().aborted;
            job.volumeSize = {m_context.Extras().nx, m_context.Extras().ny,
                              m_context.Extras().nz};
            if (job.frameResult < 0) {
                Log(std::string("voxa_server: frame failed with code ") +
                    std::to_string(job.frameResult) +
                    (m_pipeline.LastFrame().error.empty()
                         ? std::string()
                         : ": " + m_pipeline.LastFrame().error));
            }
            break;
        }
        case JobKind::kOption: {
            std::lock_guard<std::mutex> lock(m_optionsMutex);
            m_context.SetOption(job.key, job.value);
            break;
        }
        case JobKind::kPutPix:
            m_context.PutPix(static_cast<int32_t>(job.pixels.size()), job.pixels.data());
            break;
        case JobKind::kGetPix: {
            BinaryDataVOXA data;
            m_context.GetPix(&data);
            job.pixels = std::move(data.m_pBuffer);
            job.width = m_context.CurrentBlock().width;
            job.height = m_context.CurrentBlock().height;
            break;
        }
        case JobKind::kColorPoints:
            m_context.SetLUTirgb(job.count, job.index.data(), job.a.data(), job.b.data(),
                                 job.c.data());
            break;
        case JobKind::kAlphaPoints:
            m_context.SetLUTia(job.count, job.index.data(), job.a.data());
            break;
        case JobKind::kDirsChanged:
            m_context.SetOtherDirsLoaded(false);
            break;
        case JobKind::kExit:
            break;
    }
}

kj::Promise<void> WorkService::Submit(std::shared_ptr<Job> job) {
    // Queued at once, so requests keep the order of the calls; only while a
    // thread is ending do they wait for that end first.
    if (m_state != ThreadState::kStopping) return SubmitNow(std::move(job));
    return WhenNotStopping().then([this, job]() { return SubmitNow(job); });
}

kj::Promise<void> WorkService::SubmitNow(std::shared_ptr<Job> job) {
    {
        if (m_state != ThreadState::kRunning) {
            // No render thread, so no GL: what needs none is done here,
            // frames and pixel transfers are answered with nothing.
            switch (job->kind) {
                case JobKind::kOption:
                case JobKind::kColorPoints:
                case JobKind::kAlphaPoints:
                case JobKind::kDirsChanged:
                    CarryOut(*job);
                    job->carriedOut = true;
                    break;
                default:
                    break;
            }
            job->done.store(true, std::memory_order_release);
            return kj::READY_NOW;
        }
        auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
        job->fulfiller = kj::mv(paf.fulfiller);
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_queue.push_back(job);
        }
        m_queueWake.notify_one();
        return kj::mv(paf.promise);
    }
}

void WorkService::AbortFrame() {
    std::lock_guard<std::mutex> lock(m_abortMutex);
    if (m_rendering.load(std::memory_order_acquire)) m_context.StopRendering();
}

int16_t WorkService::Priority() {
    std::lock_guard<std::mutex> lock(m_optionsMutex);
    return m_process.SharedOptions().priority;
}

std::string WorkService::OptionHistory() {
    std::lock_guard<std::mutex> lock(m_optionsMutex);
    return m_process.SharedOptions().history.Format();
}

// --- paths ------------------------------------------------------------------

Result<ServedPath> WorkService::ConfinePath(std::string_view path) const {
    if (path.empty()) return Refused("empty file name");
    return m_roots.Check(Absolute(path, m_cwd));
}

Status WorkService::ChangeDirectory(std::string_view dir) {
    std::string absolute = Absolute(dir, m_cwd);
    char resolved[PATH_MAX];
    if (::realpath(absolute.c_str(), resolved) == nullptr)
        return NotFound("no such directory: " + absolute);
    std::string canonical(resolved);
    bool isRoot = false;
    for (const std::string& root : m_roots.Roots()) isRoot = isRoot || root == canonical;
    if (!isRoot) VOXA_TRY(m_roots.Check(absolute));
    struct stat st{};
    if (::stat(canonical.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Refused("not a directory: " + canonical);
    if (::chdir(canonical.c_str()) != 0) return IoError("cannot change to " + canonical);
    m_cwd = canonical;
    return Status::Ok();
}

}  // namespace voxa::render_server
