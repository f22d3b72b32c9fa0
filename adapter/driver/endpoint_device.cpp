#include "adapter/driver/endpoint_device.h"

#include "adapter/driver/control_commands.h"
#include "core/driver.h"
#include "qel.h"

namespace qel::adapter {

using namespace qel::driver;

namespace {

constexpr uint32_t kMmapAllOnes = 0xFFFFFFFFu;
constexpr uint32_t kBroadcast = 0xFFFFFFFFu;

// The record when it is exactly the command's size, else null.
template <typename Record>
Record *record_of(void *record, uint32_t length) {
    return (record != nullptr && length == sizeof(Record)) ? static_cast<Record *>(record)
                                                           : nullptr;
}

uint32_t result(int code) {
    return code == 0 ? 0u : host_error_of_driver_code(static_cast<uint32_t>(code));
}

int answer_filter(Endpoint &endpoint, const FilterRecord &filter) {
    if (filter.vlan != 0 || filter.tag != 1 || filter.reserved11 != 0 || filter.reserved12 != 0) {
        return QEL_EINVAL;
    }
    if (filter.operation == kFilterDelete) {
        // A delete removes the endpoint's filter whatever it is; its address and port carry
        // nothing.
        return endpoint.delete_filter();
    }
    if (filter.operation != kFilterAdd) return QEL_EINVAL;
    // An add names one destination: no wildcard address, no broadcast, no wildcard port.
    if (filter.address == 0 || filter.address == kBroadcast || filter.port == 0) {
        return QEL_EINVAL;
    }
    return endpoint.add_filter(filter.address, filter.port);
}

int answer_mmap(const Endpoint &endpoint, MmapRecord &map) {
    if (map.all_ones != kMmapAllOnes) return QEL_EINVAL;
    const int region = endpoint.regions().find(map.offset, map.length);
    if (region < 0) return QEL_EINVAL;
    const auto address = reinterpret_cast<uintptr_t>(endpoint.regions().region(region).data());
    // The regions live at one place; a caller that wants another cannot have it.
    if (map.address != 0 && map.address != address) return QEL_EINVAL;
    map.address = address;
    return 0;
}

}  // namespace

bool is_endpoint_command(uint32_t code) {
    switch (code) {
        case TREL_OPEN_ENDPT:
        case TREL_ENABLE_ENDPT:
        case TREL_GET_ENDPT_MAPS:
        case TREL_MMAP:
        case TREL_SET_EXT_ID:
        case TREL_FILTER_OP:
        case TREL_PIN_BUF:
        case TREL_UNPIN_BUF:
        case TREL_QUEUE_BUF:
        case TREL_DROP_PACKET:
        case TREL_WAIT_DESC:
        case TREL_GET_LINK_STATE:
        case TREL_GET_TIMESOURCE:
            return true;
        default:
            return false;
    }
}

EndpointDevice::EndpointDevice(std::shared_ptr<const std::vector<Board>> boards,
                               uint32_t board_number, uint32_t endpoint)
    : boards_(std::move(boards)), board_number_(board_number), endpoint_number_(endpoint) {}

std::shared_ptr<Endpoint> EndpointDevice::endpoint() const {
    std::lock_guard lock(mutex_);
    return attached_;
}

void EndpointDevice::close() {
    std::shared_ptr<Endpoint> endpoint;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        endpoint = std::move(attached_);
    }
    if (endpoint) endpoint->shutdown();
}

int EndpointDevice::open_endpoint(void *record, uint32_t length) {
    auto *open = record_of<OpenEndpointRecord>(record, length);
    if (!open || open->endpoint != endpoint_number_ || open->magic != kOpenEndpointMagic) {
        return QEL_EINVAL;
    }
    std::lock_guard lock(mutex_);
    if (closed_ || board_number_ >= boards_->size()) return QEL_EINVAL;
    // This handle holding the endpoint is one of "any handle".
    if (attached_) return QEL_EBUSY;
    return Endpoint::attach((*boards_)[board_number_], endpoint_number_, &attached_);
}

uint32_t EndpointDevice::control(uint32_t code, void *record, uint32_t length) {
    switch (code) {
        case TREL_OPEN_ENDPT:
            return result(open_endpoint(record, length));
        case TREL_GET_LINK_STATE:
            // Board-level, and answered without an attached endpoint.
            return answer_control_command(*boards_, code, record, length);
        case TREL_GET_TIMESOURCE: {
            auto *word = record_of<WordRecord>(record, length);
            if (!word) return result(QEL_EINVAL);
            if (word->value >= boards_->size()) return result(QEL_ENODEV);
            word->value = host_clock_synchronised() ? 2u : 0u;
            return 0;
        }
        default:
            break;
    }
    if (!is_endpoint_command(code)) return result(QEL_ENOSYS);
    std::shared_ptr<Endpoint> endpoint = this->endpoint();
    if (!endpoint || endpoint->is_shut()) return result(QEL_EINVAL);
    return result(answer_attached(*endpoint, code, record, length));
}

int EndpointDevice::answer_attached(Endpoint &endpoint, uint32_t code, void *record,
                                    uint32_t length) {
    switch (code) {
        case TREL_ENABLE_ENDPT:
            if (length != 0) return QEL_EINVAL;
            return endpoint.enable();
        case TREL_GET_ENDPT_MAPS: {
            auto *maps = record_of<EndpointMapsRecord>(record, length);
            if (!maps) return QEL_EINVAL;
            endpoint.regions().describe(*maps);
            return 0;
        }
        case TREL_MMAP: {
            auto *map = record_of<MmapRecord>(record, length);
            return map ? answer_mmap(endpoint, *map) : QEL_EINVAL;
        }
        case TREL_SET_EXT_ID: {
            auto *word = record_of<WordRecord>(record, length);
            if (!word || word->value > 1) return QEL_EINVAL;
            endpoint.set_extended_ids(word->value == 1);
            return 0;
        }
        case TREL_FILTER_OP: {
            auto *filter = record_of<FilterRecord>(record, length);
            return filter ? answer_filter(endpoint, *filter) : QEL_EINVAL;
        }
        case TREL_PIN_BUF: {
            auto *pin = record_of<PinRecord>(record, length);
            if (!pin) return QEL_EINVAL;
            uint32_t index = 0;
            if (int rc = endpoint.buffers().pin(pin->address, pin->length, &index); rc != 0) {
                return rc;
            }
            pin->index = index;
            return 0;
        }
        case TREL_UNPIN_BUF: {
            auto *word = record_of<WordRecord>(record, length);
            // Without a filter no packet reaches the endpoint and its firmware is stopped, so a
            // queued buffer can be handed back.
            return word ? endpoint.buffers().unpin(word->value, endpoint.filter_fd() < 0)
                        : QEL_EINVAL;
        }
        case TREL_QUEUE_BUF: {
            auto *queue = record_of<QueueRecord>(record, length);
            return queue ? endpoint.buffers().queue(queue->index, queue->credit) : QEL_EINVAL;
        }
        case TREL_DROP_PACKET: {
            auto *drop = record_of<DropPacketRecord>(record, length);
            return drop ? endpoint.drop_requests().add(drop->block, drop->packet) : QEL_EINVAL;
        }
        case TREL_WAIT_DESC: {
            auto *word = record_of<WordRecord>(record, length);
            return word ? endpoint.ring().wait(word->value) : QEL_EINVAL;
        }
        default:
            return QEL_ENOSYS;
    }
}

}  // namespace qel::adapter
