// A fixed set of worker threads taking jobs from one queue, for the
// multithreaded encoder. Jobs run in any order on any worker. Each worker
// owns a scratch object of type Scratch that its jobs use, so a job
// allocates nothing for its working arrays. The thread that submits jobs
// only waits for their results (waitUntil): were it to run jobs too, the
// workers would idle whenever it was busy with one instead of handing out
// the next.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qmz {

template <typename Scratch>
class WorkerPool {
  public:
    using Job = std::function<void(Scratch&)>;

    explicit WorkerPool(int threads) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }
    // Waits for the running jobs; jobs still queued are dropped.
    ~WorkerPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Jobs run in submission order, except that every `first` job runs before
    // any other still waiting.
    void submit(Job job, bool first = false) {
        {
            std::lock_guard lock(mutex_);
            (first ? urgent_ : queue_).push_back(std::move(job));
        }
        wake_.notify_one();
    }

    // Sleeps until `ready`, evaluated under the pool's lock, returns true; it
    // is evaluated again whenever a job finishes. Jobs publish their results
    // under the same lock (resultLock()).
    template <typename Predicate>
    void waitUntil(Predicate ready) {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, ready);
    }

    // The lock jobs take to publish results that waitUntil's predicate reads.
    std::mutex& resultLock() { return mutex_; }

  private:
    void run() {
        // Made (and its pages first touched) by the worker itself, in
        // parallel with the others and with the submitting thread.
        const auto scratch = std::make_unique<Scratch>();
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock,
                           [this] { return stopping_ || !urgent_.empty() || !queue_.empty(); });
                if (stopping_) return;  // queued jobs are dropped
                job = take();
            }
            job(*scratch);
            finished_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    // Under the lock, with a job waiting.
    Job take() {
        std::deque<Job>& from = urgent_.empty() ? queue_ : urgent_;
        Job job = std::move(from.front());
        from.pop_front();
        return job;
    }

    std::deque<Job> urgent_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace qmz
