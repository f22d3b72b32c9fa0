// A stream already open on 127.0.0.1 (see stream_fixture.h), its open's commands cleared, and
// closed at the end unless the test closed it and set stream_ to null.
#pragma once

#include "support/stream_fixture.h"

namespace qel::test {

class OpenStreamTest : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        stream_ = open();
        ASSERT_NE(stream_, nullptr);
        adapter_.clear_commands();
    }
    void TearDown() override {
        if (stream_) qel_close_stream(stream_);
        stream_ = nullptr;
        StreamTest::TearDown();
    }
    qel_stream_t *stream_ = nullptr;
};

}  // namespace qel::test
