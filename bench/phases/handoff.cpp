// The least a level costs when two threads share it: one handoff each way, with the waiting
// thread spinning on an atomic (the cheapest exact synchronisation there is; a futex or a
// condition variable costs more). For the thread analysis in bench/README.md:
//   cellkit_handoff [rounds]
// prints the time of one round trip in nanoseconds, the best of five batches.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 200000;
    std::atomic<long> turn{0};
    double best = 1e300;
    for (int batch = 0; batch < 5; ++batch) {
        turn.store(0);
        std::thread other([&] {
            for (long k = 0; k < rounds; ++k) {
                while (turn.load(std::memory_order_acquire) != 2 * k + 1) {
                }
                turn.store(2 * k + 2, std::memory_order_release);
            }
        });
        const auto start = std::chrono::steady_clock::now();
        for (long k = 0; k < rounds; ++k) {
            turn.store(2 * k + 1, std::memory_order_release);
            while (turn.load(std::memory_order_acquire) != 2 * k + 2) {
            }
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        other.join();
        best = std::min(best, took.count() / static_cast<double>(rounds));
    }
    std::printf("one round trip between two threads: %.0f ns\n", 1e9 * best);
    return 0;
}
