// Every driver command that an operation sends, failing in turn: the operation returns a code,
// and afterwards the stream is either still usable (a further queue and poll work) or closed
// with nothing held (no device handle open, no buffer pinned).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "core/state.h"
#include "qel.h"
#include "stream/stream.h"
#include "support/descriptors.h"
#include "support/scripted_adapter.h"

namespace qel::test {
namespace {

using namespace driver;

// A scripted board 0 (loopback's), the library on it, a stream and its buffers, and the
// buffers the adapter holds pinned.
class Scene {
public:
    Scene() {
        core::reset_library_state();
        adapter_.add_board(0);
        adapter_.on(TREL_PIN_BUF, [this](Call &call) {
            std::lock_guard lock(mutex_);
            call.as<driver::PinRecord>().index = next_pin_;
            pins_.insert(next_pin_++);
            return 0u;
        });
        adapter_.on(TREL_UNPIN_BUF, [this](Call &call) {
            std::lock_guard lock(mutex_);
            pins_.erase(call.word());
            return 0u;
        });
        // A wait finds the block a test announced, as when the firmware posts during it.
        adapter_.on(TREL_WAIT_DESC, [this](Call &) {
            if (!announce_.exchange(false)) return host_error_of_driver_code(QEL_ETIMEDOUT);
            post_block();
            return 0u;
        });
        EXPECT_EQ(qel_init(QEL_API_VERSION), 0);
        baseline_handles_ = adapter_.open_handles();
    }
    ~Scene() { core::reset_library_state(); }

    int open() { return qel_open_stream(&loopback_, 5000, &stream_, 0, nullptr); }
    int alloc(qel_buffer_t **out) {
        *out = nullptr;
        const int rc = qel_alloc(stream_, 4096, out);
        if (*out) buffers_.insert(*out);
        return rc;
    }
    void post_block() {
        adapter_.post_descriptor(0, stream_->endpt, leader(next_block_, 1));
        adapter_.post_descriptor(0, stream_->endpt, trailer(next_block_++, 1, 100));
    }
    // qel_poll_recv until it answers something other than 11, for at most two seconds.
    int receive(bool announce = false) {
        if (announce) announce_ = true;  // the next driver wait finds a block
        qel_block_t got{};
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int rc = QEL_EAGAIN;
        while (rc == QEL_EAGAIN && std::chrono::steady_clock::now() < end) {
            rc = qel_poll_recv(stream_, &got, 10);
            if (rc == QEL_EAGAIN) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        EXPECT_TRUE(rc != 0 || got.buffer == buffer_) << "the block went to another buffer";
        return rc;
    }
    // The stream works: a buffer queued, a block posted and received into it.
    void expect_usable() {
        ASSERT_NE(stream_, nullptr);
        prepare(3);
        post_block();
        EXPECT_EQ(receive(), 0);
    }
    // No stream is left, and a new one opens on the same endpoint and works.
    void expect_released_and_reopens() {
        EXPECT_EQ(stream_, nullptr);
        EXPECT_EQ(adapter_.open_handles(), baseline_handles_);
        ASSERT_EQ(open(), 0);
        expect_usable();
    }
    // Frees the buffers the application holds, closes the stream (which detaches the queued
    // ones), frees the rest, and checks that the adapter holds nothing more.
    void release_all() {
        std::set<uint32_t> queued_pins;
        for (qel_buffer_t *b : std::set(buffers_)) {
            if (b->queued || b->stream == nullptr) {
                queued_pins.insert(b->index);
                continue;
            }
            EXPECT_EQ(qel_free(b), 0);
            buffers_.erase(b);
        }
        if (stream_) {
            std::lock_guard lock(mutex_);
            EXPECT_EQ(pins_, queued_pins) << "pinned buffers besides those still queued";
        }
        EXPECT_EQ(stream_ ? qel_close_stream(stream_) : 0, 0);
        stream_ = nullptr;
        for (qel_buffer_t *b : buffers_) EXPECT_EQ(qel_free(b), 0);
        buffers_.clear();
        EXPECT_EQ(adapter_.open_handles(), baseline_handles_) << "a device handle is still open";
    }
    // What an operation needs first: nothing (0), an open stream (1), and a buffer allocated
    // (2) or queued (3).
    void prepare(int stage) {
        EXPECT_EQ(stage >= 1 && stream_ == nullptr ? open() : 0, 0);
        EXPECT_EQ(stage >= 2 ? alloc(&buffer_) : 0, 0);
        EXPECT_EQ(stage == 3 ? qel_queue_buffer(buffer_) : 0, 0);
    }

    ScriptedAdapter adapter_;
    uint32_t loopback_ = inet_addr("127.0.0.1");
    qel_stream_t *stream_ = nullptr;
    std::set<qel_buffer_t *> buffers_;
    qel_buffer_t *buffer_ = nullptr;  // the one an operation works on

private:
    size_t baseline_handles_ = 0;
    std::mutex mutex_;
    std::set<uint32_t> pins_;
    uint32_t next_pin_ = 1;
    std::atomic<bool> announce_{false};
    uint64_t next_block_ = 1;
};

// One operation: what it needs first, the operation (0 when no command fails), what must hold
// after it failed, and the commands whose failure it rightly works around.
struct Operation {
    const char *name;
    int stage;  // see Scene::prepare
    std::function<int(Scene &)> run;
    std::function<void(Scene &, uint32_t)> after_failure;
    std::set<uint32_t> worked_around = {};
};

void PrintTo(const Operation &op, std::ostream *os) {
    *os << op.name;
}

std::vector<Operation> operations() {
    const auto usable = [](Scene &s, uint32_t) { s.expect_usable(); };
    const auto reopens = [](Scene &s, uint32_t) { s.expect_released_and_reopens(); };
    return {
        // A driver that cannot tell a board's host MAC leaves it to be matched by its NIC id.
        {"open", 0, [](Scene &s) { return s.open(); }, reopens, {TREL_GET_MAC_ADDR}},
        {"alloc", 1, [](Scene &s) { return s.alloc(&s.buffer_); }, usable},
        {"queue", 2, [](Scene &s) { return qel_queue_buffer(s.buffer_); },
         [](Scene &s, uint32_t code) {
             // Without the filter the first queueing adds, the buffer is unpinned and released.
             if (code == TREL_FILTER_OP) s.buffers_.erase(s.buffer_);
             EXPECT_TRUE(code == TREL_FILTER_OP || s.buffer_->queued == 0);
             s.expect_usable();
         }},
        // The block is still there for the next poll.
        {"poll", 3, [](Scene &s) { return s.receive(true); },
         [](Scene &s, uint32_t) { EXPECT_EQ(s.receive(), 0); }},
        {"free", 2,
         [](Scene &s) {
             const int rc = qel_free(s.buffer_);
             if (rc == 0) s.buffers_.erase(s.buffer_);
             return rc;
         },
         usable},
        // A close that reports a failure has still released everything.
        {"close", 3, [](Scene &s) { return qel_close_stream(std::exchange(s.stream_, nullptr)); },
         reopens},
    };
}

class DriverFault : public ::testing::TestWithParam<Operation> {};

TEST_P(DriverFault, EachCommandFailingInTurnIsReportedAndLeavesNothingBehind) {
    const Operation &op = GetParam();
    std::set<uint32_t> codes;  // found by running the operation once with no fault
    {
        Scene s;
        s.prepare(op.stage);
        s.adapter_.clear_commands();
        EXPECT_EQ(op.run(s), 0) << op.name << " fails without any fault";
        for (const Command &c : s.adapter_.commands()) codes.insert(c.code);
        s.release_all();
    }
    ASSERT_FALSE(codes.empty()) << op.name << " sends no driver command";
    for (uint32_t code : codes) {
        SCOPED_TRACE(std::string(op.name) + ", command " + std::to_string(code) + " failing");
        Scene s;
        s.prepare(op.stage);
        s.adapter_.fail(code, QEL_ENODEV, 1);
        const int rc = op.run(s);
        EXPECT_EQ(rc == 0, op.worked_around.contains(code)) << "rc " << rc;
        if (rc == 0) {
            s.expect_usable();
        } else {
            op.after_failure(s, code);
        }
        s.release_all();
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, DriverFault, ::testing::ValuesIn(operations()),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
