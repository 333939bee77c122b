#include "cascade/offline_playback.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "cascade/cascade_timers.h"
#include "cascade/peer_frame.h"
#include "cascade/peer_message.h"
#include "cascade/relay.h"
#include "framework/tl_log.h"
#include "platform/pl_never_destroyed.h"

namespace {

// Records of one batch that a relay message carries at most: the message is
// the header text, the records and the timing block, within kPeerMaxBody.
uint32_t RecordsPerMessage(size_t recordSize) {
    const size_t room = (kPeerMaxBody - 88) / recordSize;
    return static_cast<uint32_t>(std::min<size_t>(room, UINT32_MAX));
}

void RelayInParts(const OfflineBatchRelay& relay, const unsigned char* records, uint32_t count, size_t recordSize,
                  const PushTiming& timing) {
    const uint32_t most = RecordsPerMessage(recordSize);
    while (count > 0) {
        const uint32_t part = std::min(count, most);
        relay(records, part, timing);
        records += size_t(part) * recordSize;
        count -= part;
    }
}

// Records reserved for a batch before the first row: the batch grows past
// this only when push_count asks for more and the file holds more.
constexpr size_t kInitialBatchRecords = 1024;

}  // namespace

std::vector<OfflineFile> OfflinePlaybackFiles(std::string_view subtype) {
    if (subtype.empty()) subtype = kOfflineDefaultSubtype;
    std::vector<OfflineFile> files;
    size_t start = 0;
    while (start < subtype.size()) {
        size_t comma = subtype.find(',', start);
        if (comma == std::string_view::npos) comma = subtype.size();
        const std::string_view piece = subtype.substr(start, comma - start);
        const auto has = [piece](std::string_view word) { return piece.find(word) != std::string_view::npos; };
        if (has("index")) files.push_back(OfflineFile::kIndex);
        if (has("stock") && !has("superstock")) files.push_back(OfflineFile::kStock);
        if (has("queue")) files.push_back(OfflineFile::kQueue);
        if (has("order")) files.push_back(OfflineFile::kOrder);
        if (has("trans")) files.push_back(OfflineFile::kTrans);
        if (has("superstock")) files.push_back(OfflineFile::kSuperStock);
        start = comma + 1;
    }
    return files;
}

bool OfflinePlaybackCanPlay(const std::string& folder, std::string_view subtype) {
    for (const OfflineFile file : OfflinePlaybackFiles(subtype)) {
        if (OfflineFileOpens(folder, file)) return true;
    }
    return false;
}

int64_t PlayOfflineFileInBatches(OfflineFile file, const std::string& folder, uint32_t pushCount, uint32_t pushSpaceMs,
                                 const OfflineBatchRelay& relay, const OfflinePause& pause) {
    // The files carry no timing: the host gets zeros.
    const PushTiming timing{};
    if (file == OfflineFile::kQueue) {
        return PlayOfflineFile(file, folder, [&](const void* record, size_t) {
            relay(record, 1, timing);
            return pause(pushSpaceMs);
        });
    }

    const size_t size = OfflineRecordSize(file);
    const uint32_t batchMax = std::max<uint32_t>(pushCount, 1);
    std::vector<unsigned char> batch;
    uint32_t count = 0;
    const int64_t played = PlayOfflineFile(file, folder, [&](const void* record, size_t) {
        const size_t need = (size_t(count) + 1) * size;
        if (batch.size() < need) {
            try {
                if (batch.empty()) batch.reserve(std::min<size_t>(batchMax, kInitialBatchRecords) * size);
                batch.resize(need);
            } catch (const std::bad_alloc&) {
                TL_WriteLog(1, "OfflineDebug:no memory for a batch of %u records of %zu bytes, %s ends here", batchMax,
                            size, OfflineFileName(file));
                return false;
            }
        }
        std::memcpy(batch.data() + size_t(count) * size, record, size);
        if (++count < batchMax) return true;
        RelayInParts(relay, batch.data(), count, size, timing);
        count = 0;
        return pause(pushSpaceMs);
    });
    if (count > 0) RelayInParts(relay, batch.data(), count, size, timing);
    return played;
}

// ---- The playback thread ------------------------------------------------------------

COfflineDebugMode::AttachResult COfflineDebugMode::Attach(const void* owner) {
    std::unique_lock<std::mutex> lock(m_ownerMutex);
    // A Detach that stops the thread ends first.
    m_stopped.wait(lock, [this] { return !m_stopping; });
    if (m_busy.load(std::memory_order_acquire)) return kBusy;
    m_owner = owner;
    m_busy.store(true, std::memory_order_release);
    if (Start()) return kAttached;
    m_busy.store(false, std::memory_order_release);
    m_owner = nullptr;
    return kNoThread;
}

void COfflineDebugMode::Detach(const void* owner) {
    {
        std::unique_lock<std::mutex> lock(m_ownerMutex);
        m_stopped.wait(lock, [this] { return !m_stopping; });
        if (owner == nullptr || owner != m_owner) return;
        m_stopping = true;
    }
    // The thread is waited for without the owner mutex; an Attach or Detach
    // from another thread waits until it is gone.
    Stop();
    Join();
    {
        std::lock_guard<std::mutex> lock(m_ownerMutex);
        m_queue.Clear();
        m_owner = nullptr;
        m_busy.store(false, std::memory_order_release);
        m_stopping = false;
    }
    m_stopped.notify_all();
}

const void* COfflineDebugMode::Owner() {
    std::lock_guard<std::mutex> lock(m_ownerMutex);
    return m_owner;
}

void COfflineDebugMode::Stop() {
    CThreadBase::Stop();
    {
        std::lock_guard<std::mutex> lock(m_sleepMutex);
        m_sleepWake.notify_all();
    }
    m_backlog->Wake();
}

bool COfflineDebugMode::Pause(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_sleepMutex);
    if (ms == 0) return !IsStopped();
    return !m_sleepWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return IsStopped(); });
}

uint32_t COfflineDebugMode::Run(void*) {
    while (!IsStopped()) {
        if (CQueueTaskItem* item = m_queue.Pop()) {
            ProcessItem(item);
            continue;
        }
        Pause(GetCascadeTimers().playbackPollMs);
    }
    m_busy.store(false, std::memory_order_release);
    return 0;
}

void COfflineDebugMode::ProcessItem(CQueueTaskItem* item) {
    if (item->GetType() != CQueueTaskItem::kOfflineParam) {
        delete item;
        return;
    }
    item->GetOfflineParam(&m_config);
    RunOfflinePlayback();
    delete item;
    Pause(GetCascadeTimers().playbackTailMs);
    Stop();
}

void COfflineDebugMode::RunOfflinePlayback() {
    if (!Pause(GetCascadeTimers().playbackLeadMs)) return;
    m_config.path[sizeof(m_config.path) - 1] = '\0';
    m_config.subtype[sizeof(m_config.subtype) - 1] = '\0';
    const std::string folder = m_config.path;
    const std::vector<OfflineFile> files = OfflinePlaybackFiles(m_config.subtype);
    // The start refuses other values; a request built elsewhere is kept sane.
    const uint32_t pushCount = static_cast<uint32_t>(std::max(m_config.push_count, 1));
    const uint32_t pushSpace = static_cast<uint32_t>(std::max(m_config.push_space, 0));
    const size_t backlogMax = GetCascadeTimers().playbackBacklogBytes;
    const OfflinePause pause = [this](uint32_t ms) { return Pause(ms); };
    while (m_config.playback_times > 0) {
        --m_config.playback_times;
        for (const OfflineFile file : files) {
            if (IsStopped()) return;
            const int32_t dataClass = static_cast<int32_t>(OfflineDataClass(file));
            PlayOfflineFileInBatches(
                file, folder, pushCount, pushSpace,
                [this, dataClass, backlogMax](const void* records, uint32_t count, const PushTiming& timing) {
                    // A host slower than push_space holds the playback back
                    // here, instead of the batches piling up ahead of it.
                    m_backlog->WaitAtMost(backlogMax, [this] { return IsStopped(); });
                    RelayCounted(dataClass, records, count, timing, m_backlog);
                },
                pause);
        }
    }
}

COfflineDebugMode& OfflineDebugMode() {
    static pl::NeverDestroyed<COfflineDebugMode> thread;
    return *thread;
}
