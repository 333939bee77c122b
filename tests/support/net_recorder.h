// A client sink whose callbacks record every event, for the network tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/net/tl_netnotify.h"

namespace kvotest {

struct NetEvents {
    std::mutex mutex;
    std::condition_variable cv;
    std::string data;                  // bytes of every received block, in order
    std::vector<uint32_t> blockSizes;  // length of every received block
    std::vector<uint32_t> listSizes;   // blocks per buffer-list callback
    std::vector<uint32_t> receiveCodes;
    std::vector<uint32_t> connects;     // connect codes
    std::vector<uint32_t> disconnects;  // disconnect codes
    std::vector<uint32_t> sent;         // bytes per sent report
    std::vector<uint32_t> checks;       // check counts
    std::vector<std::pair<uint32_t, int32_t>> errors;
    std::vector<std::pair<int64_t, int64_t>> partials;
    std::vector<std::thread::id> callbackThreads;
    int32_t connectResult = 0;
    int32_t receiveResult = 0;
};

// A client sink with every callback pair set to record into NetEvents.
class RecordingClient : public corvane::CTLClientNotify {
public:
    explicit RecordingClient(bool bufferLists = false);
    // Detaches from the link before the recorded events go away.
    ~RecordingClient() override {
        if (GetLink()) Disconnect(TL_NET_CLOSE_DETACH);
    }
    NetEvents ev;

    // Waits until pred (evaluated under the events' lock) holds.
    bool WaitFor(const std::function<bool(NetEvents&)>& pred, int timeoutMs = 5000);
    template <typename T>
    T Get(const std::function<T(NetEvents&)>& read) {
        std::lock_guard<std::mutex> g(ev.mutex);
        return read(ev);
    }
};

}  // namespace kvotest
