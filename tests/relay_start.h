// Starting the relay in-process for tests and benchmarks: Init, then the end of its start-up pass.
#pragma once

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "relay.h"

namespace relay_test {

inline int ThreadCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

// Init, then the end of the start-up pass it launched, so that every later pass is one the test
// runs. Init's result, or -1 if the start-up pass never ended.
inline int InitAndAwaitStartUpPass()
{
    // A thread sanitizer starts a helper thread of its own with the first thread of the process;
    // let that happen before counting. A joined thread can still be listed for a moment after the
    // join returns: count only once it is gone, or the count is one too high.
    long helper = 0;
    std::thread([&helper] { helper = syscall(SYS_gettid); }).join();
    std::string listed = "/proc/self/task/" + std::to_string(helper);
    for (int i = 0; i < 500 && access(listed.c_str(), F_OK) == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int threads = ThreadCount();
    int result = relay::Init();
    for (int i = 0; i < 500 && ThreadCount() > threads; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ThreadCount() != threads) {
        return -1;
    }
    // An idle pass: through the pass lock, all the start-up pass did comes before what the test
    // does next, as a thread sanitizer sees it too.
    relay::Poll();
    return result;
}

}  // namespace relay_test
