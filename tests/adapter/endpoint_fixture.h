// What the adapter tests share: a command sent with a record by value, filter records, and
// endpoint 0 of the loopback board opened, attached and enabled with its Endpoint at hand.
#pragma once

#include <cstring>

#include "adapter/driver/endpoint.h"
#include "adapter/driver/software_adapter.h"
#include "qel.h"
#include "support/adapter_env.h"

namespace qel::test {

using namespace qel::driver;

constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

template <class Record>
int command(hux_handle_t h, uint32_t code, Record record, uint32_t length = sizeof(Record)) {
    return hux_ioctl(h, code, &record, length);
}

inline FilterRecord filter_record(uint32_t address, uint16_t port, uint8_t op = kFilterAdd) {
    return FilterRecord{address, port, 0, 1, op, 0, 0, {}};
}
inline int add_filter(hux_handle_t h, uint16_t port, uint32_t address = kLoopbackAddress) {
    return command(h, TREL_FILTER_OP, filter_record(address, port));
}

class AttachedEndpoint : public AdapterTest {
protected:
    explicit AttachedEndpoint(const char *ring_bytes = nullptr) : ring_bytes_(ring_bytes) {}
    void SetUp() override {
        AdapterTest::SetUp();
        if (ring_bytes_) setenv("QEL_ADAPTER_RING_BYTES", ring_bytes_, 1);
        h_ = open_attached(0);
        endpoint_ = adapter::attached_endpoint(h_);
        ASSERT_NE(endpoint_, nullptr);
    }
    void TearDown() override {
        endpoint_.reset();
        hux_close(h_);
        AdapterTest::TearDown();
    }

    hux_handle_t h_ = HUX_INVALID_HANDLE;
    std::shared_ptr<adapter::Endpoint> endpoint_;
    const char *ring_bytes_;  // QEL_ADAPTER_RING_BYTES for the attach, or none
};

}  // namespace qel::test
