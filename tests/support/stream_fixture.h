// A fixture for tests of streams against the scripted adapter: the library initialised on a
// scripted board 0 whose host interface is loopback, so that 127.0.0.1 belongs to board 0.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/state.h"
#include "qel.h"
#include "stream/stream.h"
#include "support/capture.h"
#include "support/scripted_adapter.h"

namespace qel::test {

class StreamTest : public testing::Test {
protected:
    void SetUp() override {
        qel::core::reset_library_state();
        adapter_.add_board(0);  // host MAC 0: loopback's
        ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
        adapter_.clear_commands();
    }
    void TearDown() override { qel::core::reset_library_state(); }

    // Opens a unicast stream on 127.0.0.1.
    qel_stream_t *open(uint32_t flags = 0, uint16_t port = 5000) {
        qel_stream_t *stream = nullptr;
        EXPECT_EQ(qel_open_stream(&loopback_, port, &stream, flags, nullptr), 0);
        return stream;
    }

    static uint32_t address(const char *text) { return inet_addr(text); }

    // The switches are read by qel_init: set the variable and initialise again (a repeated
    // init with the same version reads the environment and changes nothing else).
    void enable(const char *variable) {
        setenv(variable, "1", 1);
        ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    }

    ScopedEnv verbose_{"QEL_VERBOSE", std::nullopt};
    ScopedEnv debug_{"QEL_DEBUG", std::nullopt};
    ScriptedAdapter adapter_;
    uint32_t loopback_ = inet_addr("127.0.0.1");
};

}  // namespace qel::test
