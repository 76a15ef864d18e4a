#pragma once

// A crew of threads kept for one call of an algorithm, for the parts of its work that can be
// split without changing the result. run(task) calls task(member) for every member, member 0
// on the caller's thread, and returns when all have returned; an exception from any member
// is thrown again on the caller's thread, after all have returned.
//
// A call hands out work thousands of times (a level's flood and growth passes), each worth
// tens of microseconds, so a member waiting for the next task spins a little before it
// sleeps: waking a sleeping thread costs several microseconds, a spinning one far less.
// Header-only, so that every build of the modules (CMake, the Octave package, MATLAB's mex,
// the Python package) has it without another source file.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <immintrin.h>
#endif

inline void spinPause() {
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
    _mm_pause();
#endif
}

class Crew {
  public:
    explicit Crew(int members) : errors_(static_cast<size_t>(members)) {
        threads_.reserve(static_cast<size_t>(members - 1));
        try {
            for (int member = 1; member < members; ++member) {
                threads_.emplace_back([this, member] { serve(member); });
            }
        } catch (...) {
            stop();
            throw;
        }
    }

    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    ~Crew() { stop(); }

    int members() const { return static_cast<int>(threads_.size()) + 1; }

    template <class Task>
    void run(const Task& task) {
        call_ = [](const void* t, int member) { (*static_cast<const Task*>(t))(member); };
        task_ = &task;
        pending_.store(static_cast<int>(threads_.size()), std::memory_order_relaxed);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        try {
            task(0);
        } catch (...) {
            errors_[0] = std::current_exception();
        }
        waitForMembers();
        for (std::exception_ptr& error : errors_) {
            if (error) {
                const std::exception_ptr first = error;
                for (std::exception_ptr& other : errors_) {
                    other = nullptr;
                }
                std::rethrow_exception(first);
            }
        }
    }

  private:
    // About as long as a small task takes, so that a member finds the next task while it
    // still spins.
    static constexpr int kSpins = 4096;

    void serve(int member) {
        uint64_t seen = 0;
        for (;;) {
            uint64_t now = generation_.load(std::memory_order_acquire);
            for (int spin = 0; now == seen && spin < kSpins; ++spin) {
                spinPause();
                now = generation_.load(std::memory_order_acquire);
            }
            if (now == seen) {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock,
                           [&] { return generation_.load(std::memory_order_acquire) != seen; });
                now = generation_.load(std::memory_order_acquire);
            }
            seen = now;
            if (stopping_.load(std::memory_order_acquire)) {
                return;
            }
            try {
                call_(task_, member);
            } catch (...) {
                errors_[static_cast<size_t>(member)] = std::current_exception();
            }
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                const std::lock_guard<std::mutex> lock(mutex_);
                done_.notify_one();
            }
        }
    }

    void waitForMembers() {
        for (int spin = 0; spin < kSpins; ++spin) {
            if (pending_.load(std::memory_order_acquire) == 0) {
                return;
            }
            spinPause();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return pending_.load(std::memory_order_acquire) == 0; });
    }

    void stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true, std::memory_order_release);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
        threads_.clear();
    }

    std::vector<std::thread> threads_;
    std::vector<std::exception_ptr> errors_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::atomic<uint64_t> generation_{0};
    std::atomic<int> pending_{0};
    std::atomic<bool> stopping_{false};
    void (*call_)(const void*, int) = nullptr;
    const void* task_ = nullptr;
};
