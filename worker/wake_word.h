// Sleeping on a 32-bit word until another thread changes it, for the worker's sleeping mode:
// the stopped worker sleeps on its control generation, and a poll with a timeout sleeps on the
// count of blocks the worker has handed over. The waker changes the word first and wakes
// second, so a sleeper that compares the word on its way in misses no change.
#pragma once

#include <atomic>
#include <cstdint>

namespace qel::worker {

// Sleeps while `word` holds `expected`, for at most `timeout_ms` milliseconds (negative: no
// limit). Returns when the word differs or changes, when woken, when the time has passed or on
// a signal; the caller looks again at what it waits for.
void sleep_while(const std::atomic<uint32_t> &word, uint32_t expected, int32_t timeout_ms);

// Wakes every thread asleep on `word` in sleep_while.
void wake_sleepers(std::atomic<uint32_t> &word);

}  // namespace qel::worker
