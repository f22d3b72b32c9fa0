// The process-wide registry of rings by name. It is what keeps a second worker ring from being
// created while one exists. Workers on different streams may be created and destroyed from
// different application threads at once, so the registry has a lock; it is taken on those
// control paths only, never by a ring's producer or consumer.
#pragma once

#include <cstdint>
#include <mutex>

#include "worker/plix_ring.h"

namespace qel::worker {

struct plix_ring_entry {
    char *name;       // own copy of "qel-bbr"
    plix_ring *ring;  // the registered ring
    plix_ring_entry *next;
    plix_ring_entry *prev;
};

struct plix_ring_registry {
    plix_ring_entry *head;  // first entry; null when empty
    plix_ring_entry *tail;  // last entry; null when empty
    uint32_t count;         // number of entries
};

// Zero at load.
extern plix_ring_registry ring_registry;

// Result codes of plix_ring_register.
inline constexpr int kRegisterNullRing = 63;
inline constexpr int kRegisterNoEntryMemory = 69;
inline constexpr int kRegisterNoNameMemory = 75;

// The registry's lock, held. A worker ring's creation holds it from its look for an existing
// ring to the registration of its own, so that of two creations at once only one can succeed.
using RegistryLock = std::unique_lock<std::mutex>;
RegistryLock lock_ring_registry() noexcept;

// Appends an entry named "qel-bbr" holding `ring` at the tail. Returns 0, or one of the codes
// above; on failure the registry is unchanged. The caller holds the lock.
int plix_ring_register(plix_ring *ring, const RegistryLock &held) noexcept;

// The first entry whose name is exactly `name`, or null. The caller holds the lock, and the
// entry is valid only while it does.
plix_ring_entry *plix_ring_lookup(const char *name, const RegistryLock &held) noexcept;

// Removes the first entry (from the head) whose name is exactly `name`. A null name or an
// empty registry is a no-op. Takes the lock.
void plix_ring_unregister(const char *name) noexcept;

// Removes every entry that holds `ring`, wherever it is in the list. Releasing a ring goes
// through this rather than by name: every ring has the same name, so removing by name would
// take the first ring's entry, not the released one's. Takes the lock.
void plix_ring_unregister_ring(const plix_ring *ring) noexcept;

}  // namespace qel::worker
