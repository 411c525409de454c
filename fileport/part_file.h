// Writing a copy: the partial file and the writer threads that fill it.
//
// A PartFile is written as "NAME.part" beside its final name and renamed
// into place by Commit; the partial file is removed when the object goes
// without a commit, so a file of the final name is always complete.
//
// A PieceWriter puts pieces into a PartFile on a thread of its own, so
// that the connection is read while earlier pieces go to disk. It uses the
// caller's bytes in place (received messages are not copied to hand them
// over): Push gives a piece, Retire(index) waits until the writer no longer
// uses that piece's bytes (written, or dropped after a failure).
//
// Writeback of written pieces starts every kWritebackEvery bytes (without
// waiting for it), and after every kSyncEvery bytes a thread of its own makes what is
// written durable while later pieces are written, so that the disk and its
// cache work during the copy and the final fsync has little left to do. A
// failed sync fails the copy like a failed write.
//
// Thread: a PartFile and a PieceWriter belong to one thread; the writer's
// own threads share its queue, piece states and first failure under a
// mutex.
#pragma once

#include "platform/status.h"
#include "platform/unique_fd.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace voxa::fileport {

inline constexpr char kPartSuffix[] = ".part";

class PartFile {
public:
    PartFile(std::string dir, std::string name);
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // Creates NAME.part (emptied) sized to length bytes.
    Status Create(int64_t length);
    Status WriteAt(int64_t offset, const void* data, size_t size);
    // Starts writing a written range to the disk without waiting for it (a
    // hint: a file system that cannot do it leaves it to fsync).
    void StartWriteback(int64_t offset, size_t size);
    // Makes the bytes written so far durable.
    Status SyncData();
    // Makes the file durable and renames it to its final name.
    Status Commit();

    const std::string& PartPath() const { return m_part; }

private:
    std::string m_final;
    std::string m_part;
    UniqueFd m_fd;
};

class PieceWriter {
public:
    static constexpr size_t kMaxQueued = 16;
    static constexpr int64_t kSyncEvery = 64 << 20;
    static constexpr int64_t kWritebackEvery = 8 << 20;

    explicit PieceWriter(PartFile& file);
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    // Hands over size bytes for offset; data must stay valid until
    // Retire(index) returns. Pieces are numbered in push order from 0.
    // Blocks while kMaxQueued pieces wait; fails after a failure.
    Status Push(int64_t offset, const unsigned char* data, size_t size);
    // Waits until piece index (one that Push accepted) is no longer used;
    // the first failure, if any.
    Status Retire(size_t index);
    // Waits until every piece is written and synced; the first failure.
    Status Finish();

private:
    struct Item {
        size_t index;
        int64_t offset;
        const unsigned char* data;
        size_t size;
    };
    void RunWriter();
    void RunSyncer();
    Status WriteItem(const Item& item);
    void StartWriteback();
    void FailLocked(const Status& st);

    PartFile& m_file;
    std::mutex m_mutex;
    std::condition_variable m_work;   // the writer: a piece queued, or closing
    std::condition_variable m_given;  // Push and Retire: a piece taken or retired, a failure
    std::condition_variable m_sync;   // the syncer: a sync wanted, or the writer gone
    std::deque<Item> m_queue;
    // Written bytes whose writeback has not been started (writer thread only).
    int64_t m_unstarted = 0;
    int64_t m_startFrom = 0;
    int64_t m_startTo = 0;
    std::vector<char> m_done;  // per pushed piece: no longer used
    size_t m_pushed = 0;
    int64_t m_sinceSync = 0;
    bool m_writerDone = false;
    bool m_closing = false;
    bool m_syncWanted = false;
    bool m_finished = false;
    Status m_status;
    std::vector<std::thread> m_threads;  // last: they start once the members above exist
};

}  // namespace voxa::fileport
