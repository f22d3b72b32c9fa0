// The library as the benchmarks that stream through the software adapter set it up: on the
// loopback board, with run and state folders of its own that go when it goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "core/state.h"
#include "qel.h"

namespace qel::bench {

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
