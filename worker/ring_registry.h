// The process-wide registry of rings by name. It is what keeps a second worker ring from being
// created while one exists. It has no lock: rings are created, registered, released and
// unregistered by application threads that the application serialises (worker creation and
// destruction).
#pragma once

#include <cstdint>

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

// Appends an entry named "qel-bbr" holding `ring` at the tail. Returns 0, or one of the codes
// above; on failure the registry is unchanged.
int plix_ring_register(plix_ring *ring) noexcept;

// Removes the first entry (from the head) whose name is exactly `name`. A null name or an
// empty registry is a no-op.
void plix_ring_unregister(const char *name) noexcept;

// Removes every entry that holds `ring`, wherever it is in the list. Releasing a ring goes
// through this rather than by name: every ring has the same name, so removing by name would
// take the first ring's entry, not the released one's.
void plix_ring_unregister_ring(const plix_ring *ring) noexcept;

// The first entry whose name is exactly `name`, or null.
plix_ring_entry *plix_ring_lookup(const char *name) noexcept;

}  // namespace qel::worker
