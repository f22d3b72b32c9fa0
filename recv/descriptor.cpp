#include "recv/descriptor.h"

#include <arpa/inet.h>

#include <atomic>

#include "core/driver.h"
#include "core/log.h"
#include "stream/stream.h"

namespace qel::recv {

namespace {

constexpr const char *kTag = "kob_to_qel_block";
constexpr int32_t kWaitForever = 0x7FFFFFFF;

template <typename T>
T load_relaxed(const uint8_t *page, size_t at) {
    return std::atomic_ref<T>(*reinterpret_cast<T *>(const_cast<uint8_t *>(page) + at))
        .load(std::memory_order_relaxed);
}

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The image geometry that image and extended-chunk leaders share, from byte 28 on.
template <typename Variant>
void read_geometry(Variant &v, const uint8_t *f) {
    v.pixel_format = load_be32(f);
    v.size_x = load_be32(f + 4);
    v.size_y = load_be32(f + 8);
    v.offset_x = load_be32(f + 12);
    v.offset_y = load_be32(f + 16);
    v.padding_x = load_be16(f + 20);
    v.padding_y = load_be16(f + 22);
}

void convert_leader(qel_block_t &block, const uint8_t *d) {
    block.block_id = load_be64(d + offset::kBlockId);
    block.payload_type = load_be16(d + offset::kLeaderPayloadType);
    const uint8_t *f = d + offset::kLeaderFields;
    switch (block.payload_type) {
        case 1:
        case 0x4001:
            block.timestamp = load_be64(d + offset::kTimestamp);
            read_geometry(block.u.image, f);
            break;
        case 2:
        case 0x4002:
            block.timestamp = load_be64(d + offset::kTimestamp);
            block.u.raw.payload_size = load_be64(f);
            break;
        case 3:
        case 0x4003:
            block.timestamp = load_be64(d + offset::kTimestamp);
            block.u.file.payload_size = load_be64(f);
            std::memset(block.u.file.file_name, 0, sizeof block.u.file.file_name);
            std::memcpy(block.u.file.file_name, f + 8, 24);
            break;
        case 5:
            block.timestamp = load_be64(d + offset::kTimestamp);
            block.u.ext_chunk.leader_flag =
                static_cast<uint8_t>(load_be16(d + offset::kLeaderFlags) & 1);
            read_geometry(block.u.ext_chunk, f);
            break;
        default:
            // Chunk data and unknown types carry nothing more, not even the timestamp.
            break;
    }
}

void convert_trailer(qel_stream_t *stream, qel_block_t &block, const uint8_t *d) {
    if (d[offset::kTime] == 0) {
        block.host_time = 0;
    } else {
        const uint64_t ticks =
            uint64_t{load_be16(d + offset::kTicksHigh)} << 32 | load_be32(d + offset::kTicksLow);
        block.host_time = host_time_of(stream->clock_page, ticks);
    }
    const uint64_t block_id = load_be64(d + offset::kBlockId);
    if (block.block_id != block_id) {
        QEL_DEBUG_TAGGED(kTag,
                         "Received block descriptor with wrong block id expected blk_id:%lu, "
                         "received blk_id:%u",
                         static_cast<unsigned long>(block.block_id),
                         static_cast<unsigned>(block_id & 0xFFFF));
    }
    block.block_id = block_id;
    block.payload_type = load_be16(d + offset::kTrailerPayloadType);
    block.payload_length = load_be32(d + offset::kPayloadLength);
    const uint8_t *f = d + offset::kTrailerFields;
    switch (block.payload_type) {
        case 1:
            block.u.image.final_size_y = load_be32(f);
            break;
        case 0x4001:
            block.u.image.final_size_y = load_be32(f);
            block.chunk_data_length = load_be32(f + 4);
            block.chunk_layout_id = load_be32(f + 8);
            break;
        case 4:
            block.u.chunk.chunk_payload_length = load_be32(f);
            break;
        case 5:
            block.u.ext_chunk.trailer_word0 = load_be32(f);
            block.u.ext_chunk.trailer_word1 = load_be32(f + 4);
            block.u.ext_chunk.trailer_word2 = load_be32(f + 8);
            break;
        case 0x4002:
        case 0x4003:
        case 0x4008:
            block.chunk_data_length = load_be32(f);
            block.chunk_layout_id = load_be32(f + 4);
            break;
        default:
            break;
    }
    QEL_DEBUG_TAGGED(kTag, "Block %lu, type:%u, status:%u, pld len:%u",
                     static_cast<unsigned long>(block.block_id), block.payload_type, block.status,
                     block.payload_length);
}

}  // namespace

uint64_t host_time_of(const uint8_t *page, uint64_t ticks) {
    const auto *sequence = reinterpret_cast<const uint32_t *>(page + clock_page::kSequence);
    std::atomic_ref<uint32_t> seq(*const_cast<uint32_t *>(sequence));
    for (;;) {
        // Acquire pairs with the firmware's release store of the even sequence word after it
        // has written the parameters.
        uint32_t before = seq.load(std::memory_order_acquire);
        while (before & 1) {
            cpu_pause();
            before = seq.load(std::memory_order_acquire);
        }
        const uint64_t base_ticks = load_relaxed<uint64_t>(page, clock_page::kBaseTicks);
        const uint64_t base_time = load_relaxed<uint64_t>(page, clock_page::kBaseTime);
        const uint32_t multiplier = load_relaxed<uint32_t>(page, clock_page::kMultiplier);
        const uint32_t divisor = load_relaxed<uint32_t>(page, clock_page::kDivisor);
        // A page without a divisor cannot convert: report no time rather than divide by zero.
        const uint64_t time =
            divisor == 0 ? 0 : base_time + (ticks - base_ticks) * multiplier / divisor;
        // The fence orders the parameter loads before the second look at the sequence word
        // and pairs with the firmware's release fence after it made the word odd: a reader
        // that saw any new parameter sees the changed word. The first look needs no fence of
        // its own; its acquire keeps the parameter loads after it. On x86 neither
        // costs an instruction, where a full fence stalled every stamped trailer.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq.load(std::memory_order_relaxed) == before) return time;
    }
}

int kob_to_qel_block(qel_stream_t *stream, const uint8_t *d) {
    const int firmware_status = d[offset::kFirmwareStatus];
    qel_block_t &block = stream->block;
    if (firmware_status != KOB_QEL_STATUS_COMPLETE) {
        // A status descriptor converts nothing else: the packet id is next_descriptor's to read,
        // and the block keeps what its leader gave it. The final status of a block that lacks
        // packets carries, where a trailer carries the payload length, the bytes the firmware
        // did receive: an incomplete block that is delivered reports them, where it would
        // otherwise report the previous block's length, or 0.
        if (firmware_status == KOB_QEL_STATUS_INCOMPLETE_FINAL &&
            load_be16(d + offset::kType) == kTrailer) {
            block.payload_length = load_be32(d + offset::kPayloadLength);
        }
        return firmware_status;
    }
    block.status = load_be16(d + offset::kStatusWord);
    const uint16_t type = load_be16(d + offset::kType);
    if (type == kLeader) {
        convert_leader(block, d);
    } else if (type == kTrailer) {
        convert_trailer(stream, block, d);
    } else {
        QEL_DEBUG_TAGGED(kTag, "invalid descriptor type:%d", type);
        return -QEL_EINVAL;
    }
    return 0;
}

int take_descriptor(qel_stream_t *stream, int32_t timeout,
                    std::span<uint8_t, kDescriptorBytes> copy) {
    if (timeout < 0) timeout = kWaitForever;
    DescriptorCursor &cursor = stream->cursor;
    uint8_t *slot = cursor.read_ptr;
    std::atomic_ref<uint8_t> tag(slot[offset::kTag]);
    // Acquire pairs with the firmware's release store of the tag, written after the other 63
    // bytes of the descriptor: a tag that matches makes the whole entry ours to copy.
    if ((tag.load(std::memory_order_acquire) & kTagMask) != cursor.expected_tag) {
        // Only a look that finds nothing is followed by a full fence and a second look, so
        // that what the firmware published before we got here (and our progress stores before
        // a wait) is seen in order. A descriptor already there needs no fence: on a busy
        // stream the fence would stall every descriptor on the progress page's cache misses.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        while ((tag.load(std::memory_order_acquire) & kTagMask) != cursor.expected_tag) {
            if (timeout <= 0) return QEL_EAGAIN;
            uint32_t wait = static_cast<uint32_t>(timeout);
            int rc = hux_ioctl(stream->handle, driver::TREL_WAIT_DESC, &wait, sizeof wait);
            if (rc != 0) return rc;
        }
    }
    std::memcpy(copy.data(), slot, kDescriptorBytes);
    // Relaxed: the credit count publishes nothing; qel_queue_buffer takes it on its own side.
    if (copy[offset::kCredit] != 0) stream->queue.credits.fetch_add(1, std::memory_order_relaxed);

    uint8_t *next = slot + kDescriptorBytes;
    cursor.read_ptr = next >= cursor.ring_end ? cursor.ring_start : next;
    cursor.expected_tag = next_tag(cursor.expected_tag);

    const uint32_t consumed = ++cursor.consumed;
    uint8_t *progress = cursor.progress;
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(progress + progress_page::kReadOffset))
        .store(static_cast<uint32_t>(cursor.read_ptr - cursor.ring_start),
               std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(progress + progress_page::kExpectedTag))
        .store(cursor.expected_tag, std::memory_order_relaxed);
    // Release pairs with the firmware's acquire load of the consumed count before it reuses a
    // slot: our copy of this descriptor is complete before the slot can be written again.
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(progress + progress_page::kConsumed))
        .store(consumed, std::memory_order_release);
    if (consumed % 16 == 1) {
        std::atomic_ref<uint64_t>(*cursor.doorbell)
            .store(uint64_t{htonl(consumed)}, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    return 0;
}

namespace {

// The firmware's word on a block's length is checked against the buffer the block is about to
// take (the queue list's head): the application reads that many bytes of it. A finished block
// longer than its buffer is reported as the overflow it is, and nothing of it is delivered.
// Both finishing statuses have just set the length from their own descriptor (kob_to_qel_block),
// so no length left over from an earlier block is judged here.
int bounded_by_buffer(const qel_stream_t *stream, int status) {
    if (status != KOB_QEL_STATUS_COMPLETE && status != KOB_QEL_STATUS_INCOMPLETE_FINAL) {
        return status;
    }
    const qel_buffer_t *head = stream->queue.head;
    if (head == nullptr || stream->block.payload_length <= head->size) return status;
    QEL_DEBUG_TAGGED(kTag, "Block %lu of %u bytes in a buffer of %u",
                     static_cast<unsigned long>(stream->block.block_id),
                     stream->block.payload_length, head->size);
    return KOB_QEL_STATUS_BUFFER_OVERFLOW;
}

}  // namespace

int next_descriptor(qel_stream_t *stream, int32_t timeout, DescriptorResult &result) {
    uint8_t taken[kDescriptorBytes];
    const uint8_t *d = taken;
    // A source installed in the cursor (the receive worker) has taken the descriptors off the
    // shared ring already, and hands over copies of them.
    const DescriptorSource &source = stream->cursor.source;
    if (source.next != nullptr) {
        d = source.next(source.context, timeout);
        if (d == nullptr) return QEL_EAGAIN;
    } else if (const int rc = take_descriptor(stream, timeout, taken); rc != 0) {
        return rc;
    }
    const int status = kob_to_qel_block(stream, d);
    if (load_be16(d + offset::kType) != kTrailer) return QEL_EAGAIN;
    result.status = bounded_by_buffer(stream, status);
    result.packet_id = load_be32(d + offset::kPacketId);
    result.gap = read_gap_report(d);
    return 0;
}

}  // namespace qel::recv
