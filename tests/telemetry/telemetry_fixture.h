// What the telemetry tests share: the run-in-a-child pattern, the test add-on's record of
// calls, and a stream fixture with a short worker rest.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "child_process.h"
#include "support/stream_fixture.h"
#include "telemetry/addon.h"
#include "telemetry/context.h"

// Runs the rest of the current test in a child process whose library search finds the add-on
// in `dir` (extra environment pairs may follow), and checks that the child passed.
#define QEL_RUN_IN_CHILD(dir, ...)                                         \
    do {                                                                   \
        if (!::qel::test::in_child()) {                                    \
            const ::qel::test::ChildResult child_ =                        \
                ::qel::test::run_in_child(dir __VA_OPT__(, ) __VA_ARGS__); \
            EXPECT_EQ(child_.exit_code, 0) << child_.output();             \
            return;                                                        \
        }                                                                  \
    } while (0)

namespace qel::test {

// The test add-on's record of calls, one line per call.
inline std::string addon_log() {
    void *module = dlopen("libqeltelemetry.so", RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) return "<no add-on loaded>";
    using LogFn = size_t (*)(char *, size_t);
    auto log = reinterpret_cast<LogFn>(dlsym(module, "test_addon_log"));
    std::string text(log(nullptr, 0) + 1, '\0');
    text.resize(log(text.data(), text.size()));
    dlclose(module);
    return text;
}

// A symbol of the loaded add-on.
inline void *addon_symbol(const char *name) {
    void *module = dlopen("libqeltelemetry.so", RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) return nullptr;
    void *symbol = dlsym(module, name);
    dlclose(module);
    return symbol;
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
