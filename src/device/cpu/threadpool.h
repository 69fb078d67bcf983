#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A fixed set of workers that run one parallel loop at a time. Tasks are handed out
// dynamically, so results must never depend on which thread ran a task: every task
// writes only its own outputs, and whoever combines them does so in task order.
class ThreadPool {
public:
    explicit ThreadPool(int threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    int size() const { return (int)workers_.size() + 1; }
    // Runs fn(i) for i in [0, n), the calling thread taking part.
    void parallelFor(size_t n, const std::function<void(size_t)>& fn);

private:
    struct Job {
        const std::function<void(size_t)>* fn;
        size_t count;
        std::atomic<size_t> next{0};
    };
    void workerLoop();
    static void run(Job& job);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    Job* job_ = nullptr;  // the loop in progress; only touched under mutex_
    int active_ = 0;
    unsigned long long generation_ = 0;
    bool stop_ = false;
};
