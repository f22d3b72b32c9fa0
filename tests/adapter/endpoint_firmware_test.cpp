// The firmware seam: an endpoint runs its firmware only while it is enabled and has a filter,
// and stops it before the socket it reads is closed.
#include <fcntl.h>

#include <vector>

#include "adapter/firmware.h"
#include "endpoint_fixture.h"

namespace qel::test {
namespace {

using namespace qel::driver;

// What the fake firmware saw: for each start the socket, and whether that socket was still
// open when the firmware was stopped.
struct Journal {
    std::vector<int> started;
    std::vector<bool> socket_open_at_stop;
};
Journal journal;

class FakeFirmware final : public adapter::Firmware {
public:
    explicit FakeFirmware(int socket) : socket_(socket) { journal.started.push_back(socket); }
    ~FakeFirmware() override {
        journal.socket_open_at_stop.push_back(fcntl(socket_, F_GETFD) >= 0);
    }

private:
    int socket_;
};

std::unique_ptr<adapter::Firmware> start_fake(adapter::Endpoint &, int socket) {
    return std::make_unique<FakeFirmware>(socket);
}

class EndpointFirmware : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        journal = Journal{};
        adapter::set_firmware_starter(start_fake);
    }
    void TearDown() override {
        adapter::reset_firmware_starter();
        AdapterTest::TearDown();
    }
    static int add_filter(hux_handle_t h, uint16_t port) {
        return send_filter(h, filter_record(kLoopbackAddress, port));
    }
    static int delete_filter(hux_handle_t h) {
        return send_filter(h, filter_record(0, 0, kFilterDelete));
    }
};

TEST_F(EndpointFirmware, RunsOnlyWhileEnabledWithAFilterAndStopsBeforeTheSocketCloses) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &h), 0);
    ASSERT_EQ(attach(h, 0), 0);
    ASSERT_EQ(add_filter(h, free_port()), 0);
    EXPECT_TRUE(journal.started.empty());  // not enabled yet
    ASSERT_EQ(hux_ioctl(h, TREL_ENABLE_ENDPT, nullptr, 0), 0);
    ASSERT_EQ(journal.started.size(), 1u);
    EXPECT_EQ(journal.started[0], adapter::attached_endpoint(h)->filter_fd());

    ASSERT_EQ(add_filter(h, free_port()), 0);  // a new socket: stopped, then started on it
    ASSERT_EQ(journal.started.size(), 2u);
    ASSERT_EQ(delete_filter(h), 0);
    EXPECT_EQ(journal.started.size(), 2u);
    ASSERT_EQ(add_filter(h, free_port()), 0);
    ASSERT_EQ(journal.started.size(), 3u);
    hux_close(h);

    EXPECT_EQ(journal.socket_open_at_stop, (std::vector<bool>{true, true, true}));
}

}  // namespace
}  // namespace qel::test
