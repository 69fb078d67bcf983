#include "device/cpu/threadpool.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace {

// TARVO_POOL_TRACE=FILE (benchmarks: bench/poolmodel.sh): every loop runs on the calling
// thread alone, and its hand-out count and processor seconds (which other load on the
// machine does not stretch) go to FILE, one line each, so that the loops can be laid out
// on any number of threads on paper.
std::FILE* traceFile() {
    static std::FILE* f = [] {
        const char* path = std::getenv("TARVO_POOL_TRACE");
        return path && *path ? std::fopen(path, "w") : nullptr;
    }();
    return f;
}

double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

}  // namespace

ThreadPool::ThreadPool(int threads) {
    for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { workerLoop(); });
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
}

void ThreadPool::run(Job& job) {
    for (;;) {
        size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.count) break;
        (*job.fn)(i);
    }
}

void ThreadPool::workerLoop() {
    unsigned long long seen = 0;
    for (;;) {
        Job* job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
            if (stop_) return;
            seen = generation_;
            job = job_;
            if (!job) continue;  // woke after that loop had already finished
            ++active_;
        }
        run(*job);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (--active_ == 0) done_.notify_all();
        }
    }
}

void ThreadPool::parallelFor(size_t n, const std::function<void(size_t)>& fn) {
    if (n == 0) return;
    if (std::FILE* trace = traceFile()) {
        const double t0 = threadSeconds();
        for (size_t i = 0; i < n; ++i) fn(i);
        std::fprintf(trace, "%zu %.9f\n", n, threadSeconds() - t0);
        return;
    }
    if (workers_.empty() || n == 1) {
        for (size_t i = 0; i < n; ++i) fn(i);
        return;
    }
    Job job;
    job.fn = &fn;
    job.count = n;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        ++generation_;
    }
    wake_.notify_all();
    run(job);
    std::unique_lock<std::mutex> lock(mutex_);
    // Every task has been claimed once the main thread's run returns; wait for the
    // workers still finishing theirs, and retire the job so late wakers skip it.
    done_.wait(lock, [&] { return active_ == 0; });
    job_ = nullptr;
}
