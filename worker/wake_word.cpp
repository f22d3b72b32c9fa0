// Futex waits on a word of process memory. std::atomic::wait would do but has no time limit,
// and the poll's wait must end with its timeout.
#include "worker/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

namespace qel::worker {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the kernel compares the atomic's bytes as a plain 32-bit word");

namespace {

// The futex address of an atomic word: the kernel reads it, it never writes it.
uint32_t *address_of(const std::atomic<uint32_t> &word) {
    return const_cast<uint32_t *>(reinterpret_cast<const uint32_t *>(&word));
}

}  // namespace

void sleep_while(const std::atomic<uint32_t> &word, uint32_t expected, int32_t timeout_ms) {
    timespec limit{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1'000'000};
    // Any failure (the word already differs, a signal, the time passed) ends the sleep.
    syscall(SYS_futex, address_of(word), FUTEX_WAIT_PRIVATE, expected,
            timeout_ms < 0 ? nullptr : &limit, nullptr, 0);
}

void wake_sleepers(std::atomic<uint32_t> &word) {
    syscall(SYS_futex, address_of(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

}  // namespace qel::worker
