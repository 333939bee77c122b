// The offline playback driver: the process-wide playback thread that replays
// the CSV files of a folder (offline_files.h) through the relay dispatcher
// (relay.h), so that the host's data callbacks receive the played records of
// the keys it subscribed, as they receive relayed cascade data.
//
// One start request (a type-4 task item carrying the OfflineDebugConfig)
// runs one playback: a pause, then the files that the subtype list names,
// playback_times passes over the list, each file in batches of push_count
// records with a pause of push_space ms after every full batch (queue.csv:
// one record per message, each followed by the pause), a last pause, and the
// thread ends. The thread polls its queue: the first batch comes 2 to 7
// seconds after the start.
//
// The playback never runs ahead of the host without bound: before each
// batch the thread waits while more than 4 MiB of its earlier batches
// (messages and their task items) wait for the relay dispatcher or are
// being delivered, so a host slower than push_space sets the pace and
// memory stays near that bound plus one batch. The wait ends as the
// dispatcher takes batches, or drops them when it stops.
//
// Every sleep and that wait end at once when the thread is asked to stop, so
// that releasing the instance that started a playback ends it promptly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cascade/offline_files.h"
#include "cascade/relay.h"
#include "framework/tl_sync.h"
#include "framework/tl_worker.h"
#include "include/kvoapi.h"

// The list played when the subtype is empty.
inline constexpr char kOfflineDefaultSubtype[] = "index,stock,order,trans,superstock,queue";

// The files one pass over a subtype list plays, in order. The list is cut at
// every "," (empty inner pieces stay and play nothing; a "," at the end adds
// no piece); each piece is tested, case-sensitively and in this order, for
// "index" (index.csv), "stock" without "superstock" (stock.csv), "queue",
// "order", "trans", and "superstock", so one piece may play several files.
// An empty list plays the default list.
std::vector<OfflineFile> OfflinePlaybackFiles(std::string_view subtype);

// Whether a playback of the subtype list from the folder has anything to
// play: one of the files OfflinePlaybackFiles(subtype) gives opens for
// reading (OfflineFileOpens). False when the list names no file.
bool OfflinePlaybackCanPlay(const std::string& folder, std::string_view subtype);

// Hands a batch of records of the file's class on (count records of the
// class's size; for queue.csv one record of its own length).
using OfflineBatchRelay = std::function<void(const void* records, uint32_t count, const PushTiming& timing)>;
// Sleeps ms milliseconds; false when playback is to stop.
using OfflinePause = std::function<bool(uint32_t ms)>;

// Plays one file of the folder: every used row, in batches of pushCount
// records (at least 1) handed to relay, each full batch followed by
// pause(pushSpaceMs); what is left at the end of the file goes as a last
// batch without a pause. queue.csv: every record at once, alone, then the
// pause. A batch larger than one relay message can carry is handed on in
// several parts (the pause follows the whole batch). The timing block is
// zero. A pause answering false ends the file. Returns the number of records
// played, or -1 when the file cannot be opened (logged by the reader).
// When the batch buffer cannot grow, the file ends there with a level-1 log
// line, after what was collected has been handed on.
int64_t PlayOfflineFileInBatches(OfflineFile file, const std::string& folder, uint32_t pushCount, uint32_t pushSpaceMs,
                                 const OfflineBatchRelay& relay, const OfflinePause& pause);

// The process-wide playback thread. It has one owner, the instance whose
// playback it runs; the owner and the running flag are changed under the
// thread's own mutex.
class COfflineDebugMode : public CThreadBase {
public:
    enum AttachResult { kAttached, kBusy, kNoThread };

    // The thread's copy starts with the defaults of a record built inside
    // the library (push_space 3000, push_count 200, playback_times 1).
    COfflineDebugMode() { TL_InitOfflineDebugConfig(&m_config); }

    // Makes owner the thread's owner and starts the thread, unless a
    // playback is under way (started and not yet ended): kBusy then, and
    // nothing changes. kNoThread when the thread cannot be started.
    AttachResult Attach(const void* owner);
    // When owner is the owner: stops the thread (interrupting its sleeps),
    // waits for it, deletes the requests still queued and forgets the
    // owner. Nothing for any other instance.
    void Detach(const void* owner);
    // True from a successful Attach until the thread ends.
    bool Busy() const { return m_busy.load(std::memory_order_acquire); }
    const void* Owner();
    // Bytes of its batches that the relay dispatcher holds.
    size_t BacklogBytes() { return m_backlog->Bytes(); }

    // Until stopped: takes the next request and plays it, or sleeps the poll
    // time when there is none.
    uint32_t Run(void* arg) override;
    // A type-4 request: copies its record, plays it, deletes it, pauses and
    // stops the thread. Other items are only deleted.
    void ProcessItem(CQueueTaskItem* item) override;
    void OnTimeout() override {}
    // Also wakes a sleeping or waiting thread.
    void Stop() override;

private:
    // Plays the thread's copy of the record, counting its passes down.
    void RunOfflinePlayback();
    // Sleeps ms milliseconds or until stopped; false when stopped.
    bool Pause(uint32_t ms);

    // The owner and the stopping state; never held while the thread is
    // joined. Then m_sleepMutex. The backlog's lock is taken with neither.
    std::mutex m_ownerMutex;
    std::condition_variable m_stopped;  // m_stopping went back to false
    bool m_stopping = false;            // a Detach is waiting for the thread
    const void* m_owner = nullptr;
    std::atomic<bool> m_busy{false};
    std::mutex m_sleepMutex;
    std::condition_variable m_sleepWake;
    OfflineDebugConfig m_config;  // the playing thread's own copy
    const std::shared_ptr<RelayBacklog> m_backlog = std::make_shared<RelayBacklog>();
};

// The playback thread of the process, built at first use and never
// destroyed (a host that leaves without releasing its instances must not
// find it gone under a running thread).
COfflineDebugMode& OfflineDebugMode();
