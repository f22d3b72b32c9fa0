// The library as the benchmarks that stream through the software adapter set it up: on the
// loopback board, with run and state folders of its own that go when it goes; and the threads
// it starts (the firmware's), to pin and to measure.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "core/state.h"
#include "qel.h"

namespace qel::bench {

// The threads of this process now; those that a call added are the ones it started.
inline std::set<pid_t> threads_of_process() {
    std::set<pid_t> tids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') tids.insert(static_cast<pid_t>(std::atoi(e->d_name)));
        }
        closedir(d);
    }
    return tids;
}

inline void pin_thread(pid_t tid, unsigned cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(tid, sizeof one, &one);
}

class Library {
public:
    Library() {
        char pattern[] = "/tmp/qel-bench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir_ = pattern;
        setenv("QEL_ADAPTER_IFACES", "lo", 1);
        setenv("QEL_ADAPTER_RUN_DIR", (dir_ + "/run").c_str(), 1);
        setenv("QEL_ADAPTER_STATE_DIR", (dir_ + "/state").c_str(), 1);
        setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", "2000", 1);
        core::reset_library_state();
        ok_ = !dir_.empty() && qel_init(QEL_API_VERSION) == 0;
    }
    ~Library() {
        core::reset_library_state();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    bool ok() const { return ok_; }

private:
    std::string dir_;
    bool ok_ = false;
};

}  // namespace qel::bench
