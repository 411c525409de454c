#include "fileport/part_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace voxa::fileport {

PartFile::PartFile(std::string dir, std::string name)
    : m_final(dir + "/" + name), m_part(m_final + kPartSuffix) {}

PartFile::~PartFile() {
    if (m_fd) {
        m_fd = UniqueFd();
        ::unlink(m_part.c_str());
    }
}

Status PartFile::Create(int64_t length) {
    m_fd = UniqueFd(::open(m_part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!m_fd) return IoError(m_part + ": cannot create: " + std::strerror(errno));
    // Pre-sized so that every piece can be written at its own offset.
    if (::ftruncate(m_fd.Get(), static_cast<off_t>(length)) != 0)
        return IoError(m_part + ": cannot size: " + std::strerror(errno));
    return Status::Ok();
}

Status PartFile::WriteAt(int64_t offset, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(m_fd.Get(), p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return IoError(m_part + ": write failed: " + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
    return Status::Ok();
}

void PartFile::StartWriteback(int64_t offset, size_t size) {
    ::sync_file_range(m_fd.Get(), static_cast<off_t>(offset), static_cast<off_t>(size),
                      SYNC_FILE_RANGE_WRITE);
}

Status PartFile::SyncData() {
    if (::fdatasync(m_fd.Get()) != 0) return IoError(m_part + ": " + std::strerror(errno));
    return Status::Ok();
}

Status PartFile::Commit() {
    if (::fsync(m_fd.Get()) != 0) return IoError(m_part + ": " + std::strerror(errno));
    if (::close(m_fd.Release()) != 0) {
        ::unlink(m_part.c_str());
        return IoError(m_part + ": " + std::strerror(errno));
    }
    if (::rename(m_part.c_str(), m_final.c_str()) != 0) {
        ::unlink(m_part.c_str());
        return IoError(m_final + ": cannot rename into place: " + std::strerror(errno));
    }
    return Status::Ok();
}

PieceWriter::PieceWriter(PartFile& file) : m_file(file) {
    m_threads.emplace_back([this] { RunWriter(); });
    m_threads.emplace_back([this] { RunSyncer(); });
}

PieceWriter::~PieceWriter() { (void)Finish(); }

Status PieceWriter::Push(int64_t offset, const unsigned char* data, size_t size) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_given.wait(lock, [&] { return m_queue.size() < kMaxQueued || !m_status.ok(); });
    if (!m_status.ok()) return m_status;
    m_queue.push_back({m_pushed++, offset, data, size});
    m_done.push_back(0);
    m_work.notify_one();
    return Status::Ok();
}

Status PieceWriter::Retire(size_t index) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_given.wait(lock, [&] { return index >= m_done.size() || m_done[index] != 0; });
    return m_status;
}

Status PieceWriter::Finish() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished) return m_status;
        m_closing = true;
        m_work.notify_all();
    }
    for (std::thread& t : m_threads) t.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = true;
    return m_status;
}

void PieceWriter::FailLocked(const Status& st) {
    if (m_status.ok()) m_status = st;
    for (const Item& item : m_queue) m_done[item.index] = 1;  // dropped unwritten
    m_queue.clear();
    m_given.notify_all();
    m_work.notify_all();
    m_sync.notify_all();
}

Status PieceWriter::WriteItem(const Item& item) {
    VOXA_TRY(m_file.WriteAt(item.offset, item.data, item.size));
    // Writeback starts for kWritebackEvery bytes at a time: the disk gets
    // large requests, and each start costs a system call and a wake of the
    // device.
    const int64_t end = item.offset + static_cast<int64_t>(item.size);
    if (m_unstarted == 0) {
        m_startFrom = item.offset;
        m_startTo = end;
    } else {
        m_startFrom = std::min(m_startFrom, item.offset);
        m_startTo = std::max(m_startTo, end);
    }
    m_unstarted += static_cast<int64_t>(item.size);
    if (m_unstarted >= kWritebackEvery) StartWriteback();
    return Status::Ok();
}

void PieceWriter::StartWriteback() {
    if (m_unstarted == 0) return;
    m_file.StartWriteback(m_startFrom, static_cast<size_t>(m_startTo - m_startFrom));
    m_unstarted = 0;
}

void PieceWriter::RunWriter() {
    while (true) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_work.wait(lock, [&] { return !m_queue.empty() || m_closing; });
            if (m_queue.empty()) break;
            item = m_queue.front();
            m_queue.pop_front();
        }
        Status st = WriteItem(item);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done[item.index] = 1;
        m_given.notify_all();  // room in the queue, and the piece retired
        if (!st.ok()) {
            FailLocked(st);
            break;
        }
        m_sinceSync += static_cast<int64_t>(item.size);
        if (m_sinceSync >= kSyncEvery) {
            m_syncWanted = true;
            m_sinceSync = 0;
            m_sync.notify_one();
        }
    }
    StartWriteback();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writerDone = true;
    m_sync.notify_all();
}

void PieceWriter::RunSyncer() {
    while (true) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_sync.wait(lock, [&] { return m_syncWanted || m_writerDone; });
            if (!m_syncWanted || !m_status.ok()) return;
            m_syncWanted = false;
        }
        Status st = m_file.SyncData();
        if (!st.ok()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            FailLocked(st);
            return;
        }
    }
}

}  // namespace voxa::fileport
