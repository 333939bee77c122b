#include "tests/support/net_recorder.h"

namespace kvotest {

using corvane::CTLNetBufferList;
using corvane::CTLNetNotify;
using corvane::ITLConnection;

namespace {

NetEvents& Ev(void* ctx) { return *static_cast<NetEvents*>(ctx); }

void Done(NetEvents& e) {
    e.callbackThreads.push_back(std::this_thread::get_id());
    e.cv.notify_all();
}

int32_t RecData(void* ctx, CTLNetNotify*, uint32_t code, uint32_t length, const void* data) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    e.data.append(static_cast<const char*>(data), length);
    e.blockSizes.push_back(length);
    e.receiveCodes.push_back(code);
    Done(e);
    return e.receiveResult;
}

int32_t RecList(void* ctx, CTLNetNotify*, uint32_t code, CTLNetBufferList* list) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    for (auto* b : *list) {
        e.data.append(reinterpret_cast<const char*>(b->Data()), b->length);
        e.blockSizes.push_back(b->length);
    }
    e.listSizes.push_back(static_cast<uint32_t>(list->GetCount()));
    e.receiveCodes.push_back(code);
    Done(e);
    return e.receiveResult;
}

int32_t RecSent(void* ctx, CTLNetNotify*, uint32_t, uint32_t bytes) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    e.sent.push_back(bytes);
    Done(e);
    return 0;
}

int32_t RecConnect(void* ctx, CTLNetNotify*, uint32_t code) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    e.connects.push_back(code);
    Done(e);
    return e.connectResult;
}

int32_t RecDisconnect(void* ctx, CTLNetNotify*, uint32_t code, ITLConnection*) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    e.disconnects.push_back(code);
    Done(e);
    return 0;
}

int32_t RecCheck(void* ctx, CTLNetNotify*, uint32_t count) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    e.checks.push_back(count);
    Done(e);
    return 0;
}

int32_t RecError(void* ctx, CTLNetNotify*, uint32_t code, int32_t error) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    e.errors.emplace_back(code, error);
    Done(e);
    return 0;
}

int32_t RecPartial(void* ctx, CTLNetNotify*, uint32_t, int64_t a, int64_t b) {
    NetEvents& e = Ev(ctx);
    std::lock_guard<std::mutex> g(e.mutex);
    e.partials.emplace_back(a, b);
    Done(e);
    return 0;
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
