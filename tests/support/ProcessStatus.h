#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

// A field of /proc/self/status ("Threads:", "VmRSS:" in kB), or -1.
inline long StatusField(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == name) {
            long value = -1;
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// Until the process is back to at most the given number of threads; false after 5 s.
inline bool ThreadsBackTo(long threads) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (StatusField("Threads:") > threads) {
        if (std::chrono::steady_clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
