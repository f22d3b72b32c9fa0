// What the endpoint tests share: endpoint 0 of the loopback board opened, attached and enabled,
// its Endpoint object at hand, and filter records.
#pragma once

#include "adapter/endpoint.h"
#include "adapter/software_adapter.h"
#include "support/adapter_env.h"
#include "qel.h"

namespace qel::test {

constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

inline driver::FilterRecord filter_record(uint32_t address, uint16_t port,
                                          uint8_t operation = driver::kFilterAdd) {
    driver::FilterRecord record{};
    record.address = address;
    record.port = port;
    record.tag = 1;
    record.operation = operation;
    return record;
}

inline int send_filter(hux_handle_t h, driver::FilterRecord record) {
    return hux_ioctl(h, driver::TREL_FILTER_OP, &record, sizeof record);
}

class AttachedEndpoint : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        before_attach();
        h_ = open_attached(0);
        endpoint_ = adapter::attached_endpoint(h_);
        ASSERT_NE(endpoint_, nullptr);
    }
    void TearDown() override {
        endpoint_.reset();
        hux_close(h_);
        after_close();
        AdapterTest::TearDown();
    }
    // Settings the endpoint reads when it attaches, and what undoes them.
    virtual void before_attach() {}
    virtual void after_close() {}

    hux_handle_t h_ = HUX_INVALID_HANDLE;
    std::shared_ptr<adapter::Endpoint> endpoint_;
};

}  // namespace qel::test
