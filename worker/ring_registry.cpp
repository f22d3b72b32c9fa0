// The registry of rings: a doubly linked list of entries, appended at the tail.
#include "worker/ring_registry.h"

#include <cstring>
#include <memory>

#include "worker/ring_memory.h"

namespace qel::worker {

plix_ring_registry ring_registry{};

namespace {

std::mutex registry_mutex;

// Releases an entry and its name, zeroed; the list is not touched.
struct EntryRelease {
    void operator()(plix_ring_entry *entry) const noexcept {
        ring_release_text(entry->name);
        ring_release(entry, sizeof *entry);
    }
};

// Takes the entry out of the list, wherever it sits, and releases it (zeroed).
void unlink_and_release(plix_ring_entry *entry) noexcept {
    if (entry->prev != nullptr) {
        entry->prev->next = entry->next;
    } else {
        ring_registry.head = entry->next;
    }
    if (entry->next != nullptr) {
        entry->next->prev = entry->prev;
    } else {
        ring_registry.tail = entry->prev;
    }
    ring_registry.count -= 1;
    EntryRelease{}(entry);
}

}  // namespace

RegistryLock lock_ring_registry() noexcept {
    return RegistryLock(registry_mutex);
}

int plix_ring_register(plix_ring *ring, const RegistryLock &) noexcept {
    if (ring == nullptr) return kRegisterNullRing;
    std::unique_ptr<plix_ring_entry, EntryRelease> held(static_cast<plix_ring_entry *>(
        ring_allocate(sizeof(plix_ring_entry), alignof(plix_ring_entry))));
    if (held == nullptr) return kRegisterNoEntryMemory;
    held->name = ring_copy_text(kBlockBufferRingName);
    if (held->name == nullptr) return kRegisterNoNameMemory;
    plix_ring_entry *entry = held.release();
    entry->ring = ring;
    entry->prev = ring_registry.tail;
    if (ring_registry.tail != nullptr) {
        ring_registry.tail->next = entry;
    } else {
        ring_registry.head = entry;
    }
    ring_registry.tail = entry;
    ring_registry.count += 1;
    return 0;
}

plix_ring_entry *plix_ring_lookup(const char *name, const RegistryLock &) noexcept {
    if (name == nullptr) return nullptr;
    for (plix_ring_entry *entry = ring_registry.head; entry != nullptr; entry = entry->next) {
        if (std::strcmp(entry->name, name) == 0) return entry;
    }
    return nullptr;
}

void plix_ring_unregister(const char *name) noexcept {
    const RegistryLock lock = lock_ring_registry();
    if (plix_ring_entry *entry = plix_ring_lookup(name, lock)) unlink_and_release(entry);
}

void plix_ring_unregister_ring(const plix_ring *ring) noexcept {
    const RegistryLock lock = lock_ring_registry();
    plix_ring_entry *entry = ring_registry.head;
    while (entry != nullptr) {
        plix_ring_entry *next = entry->next;
        if (entry->ring == ring) unlink_and_release(entry);
        entry = next;
    }
}

}  // namespace qel::worker
