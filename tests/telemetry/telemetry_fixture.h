// What the telemetry tests share. A test that needs an add-on runs its own body again in a
// child process whose library search path holds the add-on's folder (the add-on is looked up
// once, by name, through the search path the process started with); the parent checks the
// child's result.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "support/stream_fixture.h"
#include "telemetry/addon.h"
#include "telemetry/context.h"

namespace qel::test {

struct ChildResult {
    int exit_code = -1;  // -1 when it did not exit
    std::string out, err;
    std::string output() const { return "--- stdout\n" + out + "--- stderr\n" + err; }
};
using EnvPairs = std::vector<std::pair<std::string, std::string>>;

bool in_child();
// In the child: sets QEL_VERBOSE and QEL_DEBUG again when the parent asked for them, after a
// fixture cleared them.
void set_child_switches();
// Runs the current test again in a child whose library search path is `library_dir` alone.
ChildResult run_in_child(const std::string &library_dir, const EnvPairs &env = {});

// A test add-on's folder ("complete", "no_end_span", "refusing", or "none": no add-on).
inline std::string addon_dir(const std::string &name) {
    return std::string(QEL_TEST_ADDON_ROOT) + "/" + name;
}

// Runs the rest of the current test in a child that finds the add-on in `dir`.
#define QEL_RUN_IN_CHILD(dir, ...)                                         \
    do {                                                                   \
        if (!::qel::test::in_child()) {                                    \
            const ::qel::test::ChildResult child_ =                        \
                ::qel::test::run_in_child(dir __VA_OPT__(, ) __VA_ARGS__); \
            EXPECT_EQ(child_.exit_code, 0) << child_.output();             \
            return;                                                        \
        }                                                                  \
    } while (0)

inline std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A symbol of the loaded add-on.
inline void *addon_symbol(const char *name) {
    void *module = dlopen("libqeltelemetry.so", RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) return nullptr;
    void *symbol = dlsym(module, name);
    dlclose(module);
    return symbol;
}

// The test add-on's record of calls, one line per call.
inline std::string addon_log() {
    auto log = reinterpret_cast<const char *(*)()>(addon_symbol("test_addon_log"));
    return log != nullptr ? log() : "<no add-on loaded>";
}

inline size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Polls `done` every millisecond for up to `limit`; true once it holds. The limits are wide:
// the tests run on a loaded machine and only a failure waits them out.
inline bool wait_until(const std::function<bool()> &done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Streams on the scripted adapter with the telemetry worker resting 20 ms between exports.
class TelemetryTest : public StreamTest {
protected:
    void SetUp() override {
        telemetry::worker_rest_ms.store(20);
        set_child_switches();
        StreamTest::SetUp();
    }
    void TearDown() override {
        StreamTest::TearDown();
        telemetry::worker_rest_ms.store(telemetry::kWorkerRestMs);
    }
    static uint32_t flag(const uint32_t &word) { return telemetry::load_flag(word); }
};

}  // namespace qel::test
