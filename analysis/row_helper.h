// A second pair of hands for the pixel arithmetic of a module run. Only the
// thread that runs the module (the Tcl thread) may touch the line cache, the
// meter and the status poll; the helper thread gets pure arithmetic on
// buffers that the Tcl thread does not touch meanwhile.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace krel {

// One helper thread for the run of a module. run(job) calls job(1) on the
// helper and job(0) here and returns when both have finished. When no thread
// can be started both parts run here, one after the other.
class RowHelper {
public:
    RowHelper()
    {
        try {
            thread_ = std::thread(&RowHelper::loop, this);
            started_ = true;
        } catch (const std::exception &) {
            started_ = false;
        }
    }
    RowHelper(const RowHelper &) = delete;
    RowHelper &operator=(const RowHelper &) = delete;
    ~RowHelper()
    {
        if (!started_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    template <class Job>
    void run(Job &job)
    {
        if (!started_) {
            job(1);
            job(0);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            call_ = [](void *context, int part) { (*static_cast<Job *>(context))(part); };
            context_ = &job;
            pending_ = true;
        }
        wake_.notify_one();
        job(0);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return !pending_; });
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return pending_ || quit_; });
            if (!pending_) return;
            lock.unlock();
            call_(context_, 1);
            lock.lock();
            pending_ = false;
            done_.notify_one();
        }
    }

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    void (*call_)(void *, int) = nullptr;
    void *context_ = nullptr;
    bool pending_ = false, quit_ = false, started_ = false;
};

}  // namespace krel
