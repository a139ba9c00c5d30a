#pragma once
// Waiting in tests for something another thread does: polls in 1 ms steps and gives up after
// 20 s, which marks a hang, not a timing.

#include <chrono>
#include <thread>

template <typename Ready>
bool eventually(Ready ready) {
    for (int step = 0; step < 20000; ++step) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ready();
}
