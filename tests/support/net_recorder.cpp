#include "tests/support/net_recorder.h"

#include <utility>

namespace kvotest {

using corvane::CTLNetBufferList;
using corvane::CTLNetNotify;
using corvane::ITLConnection;

namespace {

// Runs record on the events under their lock, notes the calling thread,
// wakes the waiters and gives record's answer (read under the lock too, as
// the test may change the scripted results).
template <typename Record>
int32_t Rec(void* ctx, Record record) {
    NetEvents& e = *static_cast<NetEvents*>(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    const int32_t result = record(e);
    e.callbackThreads.push_back(std::this_thread::get_id());
    e.cv.notify_all();
    return result;
}

int32_t RecData(void* ctx, CTLNetNotify*, uint32_t code, uint32_t length, const void* data) {
    return Rec(ctx, [&](NetEvents& e) {
        e.data.append(static_cast<const char*>(data), length);
        e.blockSizes.push_back(length);
        e.receiveCodes.push_back(code);
        return e.receiveResult;
    });
}

int32_t RecList(void* ctx, CTLNetNotify*, uint32_t code, CTLNetBufferList* list) {
    return Rec(ctx, [&](NetEvents& e) {
        for (auto* b : *list) {
            e.data.append(reinterpret_cast<const char*>(b->Data()), b->length);
            e.blockSizes.push_back(b->length);
        }
        e.listSizes.push_back(static_cast<uint32_t>(list->GetCount()));
        e.receiveCodes.push_back(code);
        return e.receiveResult;
    });
}

// Appends value to one of the event lists; the callback answers 0.
template <typename List, typename Value>
int32_t Push(void* ctx, List NetEvents::*list, const Value& value) {
    return Rec(ctx, [&](NetEvents& e) {
        (e.*list).push_back(value);
        return 0;
    });
}

int32_t RecConnect(void* ctx, CTLNetNotify*, uint32_t code) {
    return Rec(ctx, [&](NetEvents& e) {
        e.connects.push_back(code);
        return e.connectResult;
    });
}

int32_t RecSent(void* ctx, CTLNetNotify*, uint32_t, uint32_t bytes) { return Push(ctx, &NetEvents::sent, bytes); }

int32_t RecDisconnect(void* ctx, CTLNetNotify*, uint32_t code, ITLConnection*) {
    return Push(ctx, &NetEvents::disconnects, code);
}

int32_t RecCheck(void* ctx, CTLNetNotify*, uint32_t count) { return Push(ctx, &NetEvents::checks, count); }

int32_t RecError(void* ctx, CTLNetNotify*, uint32_t code, int32_t error) {
    return Push(ctx, &NetEvents::errors, std::make_pair(code, error));
}

int32_t RecPartial(void* ctx, CTLNetNotify*, uint32_t, int64_t a, int64_t b) {
    return Push(ctx, &NetEvents::partials, std::make_pair(a, b));
}

}  // namespace

RecordingClient::RecordingClient(bool bufferLists) {
    if (bufferLists) {
        SetBufferListCallback(&ev, RecList);
    } else {
        SetDataCallback(&ev, RecData);
    }
    SetSentCallback(&ev, RecSent);
    SetConnectCallback(&ev, RecConnect);
    SetDisconnectCallback(&ev, RecDisconnect);
    SetCheckCallback(&ev, RecCheck);
    SetErrorCallback(&ev, RecError);
    SetPartialCallback(&ev, RecPartial);
}

bool RecordingClient::WaitFor(const std::function<bool(NetEvents&)>& pred, int timeoutMs) {
    std::unique_lock<std::mutex> g(ev.mutex);
    return ev.cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return pred(ev); });
}

}  // namespace kvotest
