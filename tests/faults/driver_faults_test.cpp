// Every driver command that an operation sends, failing in turn: the operation returns a code,
// and afterwards the stream is either still usable (a further queue and poll work) or closed
// with nothing held (no device handle open, no buffer pinned; the sanitizers see every
// allocation released).
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
#include "telemetry/context.h"

namespace qel::test {
namespace {

using namespace driver;
using telemetry::qel_create_metrics_trace;
using telemetry::qel_destroy_metrics_trace;

constexpr int kInjected = QEL_ENODEV;

// A scripted board 0 (loopback's), the library on it, a stream and its buffers, and the
// buffers the adapter holds pinned. Everything is released at the end of a scene.
class Scene {
public:
    Scene() {
        core::reset_library_state();
        adapter_.add_board(0);
        adapter_.on(TREL_PIN_BUF, [this](Call &call) {
            std::lock_guard lock(mutex_);
            const uint32_t index = next_pin_++;
            call.as<driver::PinRecord>().index = index;
            pins_.insert(index);
            return 0u;
        });
        adapter_.on(TREL_UNPIN_BUF, [this](Call &call) {
            std::lock_guard lock(mutex_);
            pins_.erase(call.word());
            return 0u;
        });
        // A wait finds the block a test announced, as when the firmware posts during it.
        adapter_.on(TREL_WAIT_DESC, [this](Call &) {
            if (!announce_) return driver::host_error_of_driver_code(QEL_ETIMEDOUT);
            announce_ = false;
            post_block(next_block_++);
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
    qel_buffer_t *queued_buffer() {
        qel_buffer_t *b = nullptr;
        EXPECT_EQ(alloc(&b), 0);
        if (b) {
            EXPECT_EQ(qel_queue_buffer(b), 0);
        }
        return b;
    }
    void post_block(uint64_t block) {
        adapter_.post_descriptor(0, stream_->endpt, leader(block, 1));
        adapter_.post_descriptor(0, stream_->endpt, trailer(block, 1, 100));
    }
    void announce_block() { announce_ = true; }  // the next driver wait finds a block
    // qel_poll_recv until it answers something other than 11, for at most two seconds.
    int receive(qel_block_t *got) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int rc = QEL_EAGAIN;
        while (rc == QEL_EAGAIN && std::chrono::steady_clock::now() < end) {
            rc = qel_poll_recv(stream_, got, 10);
            if (rc == QEL_EAGAIN) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return rc;
    }
    // The stream works: a buffer queued, a block posted and received into it.
    void expect_usable() {
        ASSERT_NE(stream_, nullptr);
        qel_buffer_t *b = queued_buffer();
        ASSERT_NE(b, nullptr);
        post_block(next_block_++);
        qel_block_t got{};
        ASSERT_EQ(receive(&got), 0);
        EXPECT_EQ(got.buffer, b);
    }
    // No stream is left, and a new one opens on the same endpoint and works.
    void expect_released_and_reopens() {
        EXPECT_EQ(stream_, nullptr);
        EXPECT_EQ(adapter_.open_handles(), baseline_handles_);
        ASSERT_EQ(open(), 0);
        expect_usable();
    }
    // Frees the buffers the application holds, closes the stream (which detaches the queued
    // ones and unpins them), frees the rest, and checks that the adapter holds nothing more.
    void release_all() {
        if (has_worker_) {
            EXPECT_EQ(qel_destroy_recv_worker(stream_), 0);
        }
        has_worker_ = false;
        if (context_) qel_destroy_metrics_trace(context_), context_ = nullptr;
        std::set<uint32_t> queued_pins;
        for (auto it = buffers_.begin(); it != buffers_.end();) {
            // Queued, or detached by a close: freed once the stream is closed.
            if ((*it)->queued || (*it)->stream == nullptr) {
                queued_pins.insert((*it)->index);
                ++it;
                continue;
            }
            EXPECT_EQ(qel_free(*it), 0);
            it = buffers_.erase(it);
        }
        if (stream_) {
            std::lock_guard lock(mutex_);
            EXPECT_EQ(pins_, queued_pins) << "pinned buffers besides those still queued";
        }
        if (stream_) {
            EXPECT_EQ(qel_close_stream(stream_), 0);
        }
        stream_ = nullptr;
        for (qel_buffer_t *b : buffers_) EXPECT_EQ(qel_free(b), 0);
        buffers_.clear();
        EXPECT_EQ(adapter_.open_handles(), baseline_handles_) << "a device handle is still open";
    }

    ScriptedAdapter adapter_;
    uint32_t loopback_ = inet_addr("127.0.0.1");
    qel_stream_t *stream_ = nullptr;
    std::set<qel_buffer_t *> buffers_;
    qel_buffer_t *buffer_ = nullptr;  // the one an operation works on
    qel_metrics_trace_t *context_ = nullptr;
    bool has_worker_ = false;

private:
    size_t baseline_handles_ = 0;
    std::mutex mutex_;
    std::set<uint32_t> pins_;
    uint32_t next_pin_ = 1;
    std::atomic<bool> announce_{false};
    uint64_t next_block_ = 1;
};

// One operation: what it needs first, the operation (its result: 0 when no command fails),
// what must hold after it failed (given the failed command), and the commands whose failure
// it rightly works around (the operation then succeeds and the stream works).
struct Operation {
    const char *name;
    std::function<void(Scene &)> prepare;
    std::function<int(Scene &)> run;
    std::function<void(Scene &, uint32_t)> after_failure;
    std::set<uint32_t> worked_around = {};
};

void PrintTo(const Operation &op, std::ostream *os) {
    *os << op.name;
}

void opened_fn(Scene &s) {
    ASSERT_EQ(s.open(), 0);
}
const std::function<void(Scene &)> opened = opened_fn;

std::vector<Operation> operations() {
    return {
        // A driver that cannot tell a board's host MAC leaves it to be matched by its NIC id.
        {"open",
         [](Scene &) {},
         [](Scene &s) { return s.open(); },
         [](Scene &s, uint32_t) { s.expect_released_and_reopens(); },
         {TREL_GET_MAC_ADDR}},
        {"alloc", opened, [](Scene &s) { return s.alloc(&s.buffer_); },
         [](Scene &s, uint32_t) {
             EXPECT_EQ(s.buffer_, nullptr);
             s.expect_usable();
         }},
        {"queue",
         [](Scene &s) {
             opened(s);
             ASSERT_EQ(s.alloc(&s.buffer_), 0);
         },
         [](Scene &s) { return qel_queue_buffer(s.buffer_); },
         [](Scene &s, uint32_t code) {
             if (code == TREL_FILTER_OP) {
                 // The first queueing adds the filter; without it the buffer is unpinned and
                 // released, as the failed queueing reports.
                 s.buffers_.erase(s.buffer_);
             } else {
                 EXPECT_EQ(s.buffer_->queued, 0u) << "a buffer the adapter refused is queued";
             }
             s.expect_usable();
         }},
        {"poll",
         [](Scene &s) {
             opened(s);
             s.buffer_ = s.queued_buffer();
         },
         [](Scene &s) {
             s.announce_block();
             qel_block_t got{};
             return s.receive(&got);
         },
         [](Scene &s, uint32_t) {
             // The block is still there for the next poll.
             qel_block_t got{};
             ASSERT_EQ(s.receive(&got), 0);
             EXPECT_EQ(got.buffer, s.buffer_);
         }},
        {"free",
         [](Scene &s) {
             opened(s);
             ASSERT_EQ(s.alloc(&s.buffer_), 0);
         },
         [](Scene &s) {
             const int rc = qel_free(s.buffer_);
             if (rc == 0) s.buffers_.erase(s.buffer_);
             return rc;
         },
         [](Scene &s, uint32_t) { s.expect_usable(); }},
        {"close",
         [](Scene &s) {
             opened(s);
             s.buffer_ = s.queued_buffer();
         },
         [](Scene &s) {
             const int rc = qel_close_stream(s.stream_);
             s.stream_ = nullptr;
             return rc;
         },
         // A close that reports a failure has still released everything.
         [](Scene &s, uint32_t) { s.expect_released_and_reopens(); }},
        {"worker",
         [](Scene &s) {
             opened(s);
             s.buffer_ = s.queued_buffer();
         },
         [](Scene &s) {
             int rc = qel_create_recv_worker(s.stream_, 0, nullptr);
             if (rc != 0) return rc;
             s.has_worker_ = true;
             if ((rc = qel_start_recv_worker(s.stream_)) != 0) return rc;
             s.post_block(100);
             qel_block_t got{};
             if ((rc = s.receive(&got)) != 0) return rc;
             return qel_queue_buffer(got.buffer);
         },
         [](Scene &s, uint32_t) { s.expect_usable(); }},
        {"telemetry",
         opened,
         [](Scene &s) { return qel_create_metrics_trace(&s.context_, 0, 0); },
         [](Scene &s, uint32_t) {
             EXPECT_EQ(s.context_, nullptr) << "a failed create hands out no context";
             s.expect_usable();
         },
         // Telemetry names the boards it can: one whose serial number cannot be read is left out.
         {TREL_GET_SERIAL}},
    };
}

// The commands an operation sends, found by running it once with every command answered.
std::set<uint32_t> commands_of(const Operation &op) {
    Scene s;
    op.prepare(s);
    s.adapter_.clear_commands();
    EXPECT_EQ(op.run(s), 0) << op.name << " fails without any fault";
    std::set<uint32_t> codes;
    for (const Command &c : s.adapter_.commands()) codes.insert(c.code);
    s.release_all();
    return codes;
}

class DriverFault : public ::testing::TestWithParam<Operation> {};

TEST_P(DriverFault, EachCommandFailingInTurnIsReportedAndLeavesNothingBehind) {
    const Operation &op = GetParam();
    const std::set<uint32_t> codes = commands_of(op);
    ASSERT_FALSE(codes.empty()) << op.name << " sends no driver command";
    for (uint32_t code : codes) {
        SCOPED_TRACE(std::string(op.name) + ", command " + std::to_string(code) + " failing");
        Scene s;
        op.prepare(s);
        s.adapter_.fail(code, kInjected, 1);
        const int rc = op.run(s);
        if (op.worked_around.contains(code)) {
            EXPECT_EQ(rc, 0) << "a failure with a way around it failed the operation";
            s.expect_usable();
        } else {
            EXPECT_NE(rc, 0) << "a failed command was reported as success";
            op.after_failure(s, code);
        }
        s.release_all();
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, DriverFault, ::testing::ValuesIn(operations()),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
