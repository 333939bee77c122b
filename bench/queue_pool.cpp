// Hand-over throughput of the lock-free queue and of a worker pool under
// several producers, each beside the same work done through a
// mutex-guarded std::deque (with a condition variable for the worker).
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/tl_lockfree.h"
#include "framework/tl_threadpool.h"

namespace {

constexpr std::uintptr_t kItemsPerProducer = 100000;

// The baseline queue.
class MutexDeque {
public:
    bool Push(std::uintptr_t v) {
        std::lock_guard<std::mutex> g(m_);
        q_.push_back(v);
        return true;
    }
    bool Pop(std::uintptr_t& out) {
        std::lock_guard<std::mutex> g(m_);
        if (q_.empty()) return false;
        out = q_.front();
        q_.pop_front();
        return true;
    }

private:
    std::mutex m_;
    std::deque<std::uintptr_t> q_;
};

// P producers push kItemsPerProducer items each; one consumer drains.
template <class Q>
void RunQueue(benchmark::State& state) {
    const int producers = static_cast<int>(state.range(0));
    std::uint64_t total = 0;
    for (auto _ : state) {
        Q q;
        std::atomic<int> left{producers};
        std::uintptr_t sum = 0;
        std::thread consumer([&] {
            std::uintptr_t v;
            for (;;) {
                const bool done = left.load(std::memory_order_acquire) == 0;
                bool any = false;
                while (q.Pop(v)) {
                    sum += v;
                    any = true;
                }
                if (done && !any) break;
            }
        });
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&] {
                for (std::uintptr_t i = 1; i <= kItemsPerProducer; ++i) q.Push(i);
                left.fetch_sub(1, std::memory_order_release);
            });
        }
        for (auto& t : threads) t.join();
        consumer.join();
        benchmark::DoNotOptimize(sum);
        total += kItemsPerProducer * static_cast<std::uint64_t>(producers);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(total));
}

void BM_LockFreeQueue(benchmark::State& state) { RunQueue<CRingLockFreeList<std::uintptr_t, 0>>(state); }
void BM_MutexDequeBaseline(benchmark::State& state) { RunQueue<MutexDeque>(state); }

// A pool whose worker only counts.
class CountingPool : public CTLLockFreeQThreadPool<std::uintptr_t*> {
public:
    CountingPool() : CTLLockFreeQThreadPool<std::uintptr_t*>("benchPool") {}
    std::atomic<std::uint64_t> handled{0};

protected:
    void ProcessTask(std::uintptr_t*) override { handled.fetch_add(1, std::memory_order_relaxed); }
};

// The baseline worker: a deque under a mutex and a condition variable.
class MutexWorker {
public:
    MutexWorker() : thread_([this] { Loop(); }) {}
    ~MutexWorker() {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    void AddTask(std::uintptr_t* item) {
        {
            std::lock_guard<std::mutex> g(m_);
            q_.push_back(item);
        }
        cv_.notify_one();
    }
    std::atomic<std::uint64_t> handled{0};

private:
    void Loop() {
        std::unique_lock<std::mutex> g(m_);
        for (;;) {
            cv_.wait(g, [this] { return stop_ || !q_.empty(); });
            if (q_.empty() && stop_) return;
            while (!q_.empty()) {
                q_.pop_front();
                handled.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::uintptr_t*> q_;
    bool stop_ = false;
    std::thread thread_;
};

// Items are non-null markers the workers never dereference.
std::uintptr_t g_marker;

template <class Start, class Add, class Handled>
void RunPool(benchmark::State& state, Start start, Add add, Handled handled) {
    const int producers = static_cast<int>(state.range(0));
    std::uint64_t total = 0;
    start();
    for (auto _ : state) {
        const std::uint64_t target = handled() + kItemsPerProducer * static_cast<std::uint64_t>(producers);
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&] {
                for (std::uintptr_t i = 0; i < kItemsPerProducer; ++i) add(&g_marker);
            });
        }
        for (auto& t : threads) t.join();
        while (handled() < target) std::this_thread::yield();
        total += kItemsPerProducer * static_cast<std::uint64_t>(producers);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(total));
}

void BM_LockFreePool(benchmark::State& state) {
    auto* pool = new CountingPool();
    RunPool(
        state, [&] { pool->Start(1); }, [&](std::uintptr_t* item) { pool->AddTask(item); },
        [&] { return pool->handled.load(std::memory_order_relaxed); });
    CTLThreadPool::Release(pool, 3000);
}

void BM_MutexWorkerBaseline(benchmark::State& state) {
    MutexWorker worker;
    RunPool(
        state, [] {}, [&](std::uintptr_t* item) { worker.AddTask(item); },
        [&] { return worker.handled.load(std::memory_order_relaxed); });
}

}  // namespace

// Each measurement is registered right beside its baseline.
#define KVO_BENCH(fn, producers) BENCHMARK(fn)->Arg(producers)->UseRealTime()->Unit(benchmark::kMillisecond)
KVO_BENCH(BM_LockFreeQueue, 1);
KVO_BENCH(BM_MutexDequeBaseline, 1);
KVO_BENCH(BM_LockFreeQueue, 2);
KVO_BENCH(BM_MutexDequeBaseline, 2);
KVO_BENCH(BM_LockFreeQueue, 4);
KVO_BENCH(BM_MutexDequeBaseline, 4);
KVO_BENCH(BM_LockFreePool, 1);
KVO_BENCH(BM_MutexWorkerBaseline, 1);
KVO_BENCH(BM_LockFreePool, 2);
KVO_BENCH(BM_MutexWorkerBaseline, 2);
KVO_BENCH(BM_LockFreePool, 4);
KVO_BENCH(BM_MutexWorkerBaseline, 4);
