// The receive filter: an add opens a UDP socket bound to its address and port, a delete or
// the endpoint's close closes it; the firmware runs only while the endpoint is enabled and has
// a filter, and stops before the socket it reads is closed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "adapter/firmware.h"
#include "endpoint_fixture.h"
#include "support/capture.h"

namespace qel::test {
namespace {

// Whether a fresh socket may bind 127.0.0.1:`port` (without address reuse).
bool can_bind(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in where{AF_INET, htons(port), {htonl(kLoopbackAddress)}, {}};
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0;
    close(fd);
    return ok;
}

// What the fake firmware saw: the socket of each start, and whether that socket was still
// open when the firmware was stopped.
std::vector<int> started;
std::vector<bool> socket_open_at_stop;

class FakeFirmware final : public adapter::Firmware {
public:
    explicit FakeFirmware(int socket) : socket_(socket) { started.push_back(socket); }
    ~FakeFirmware() override { socket_open_at_stop.push_back(fcntl(socket_, F_GETFD) >= 0); }

private:
    int socket_;
};

class EndpointFilter : public AttachedEndpoint {
protected:
    EndpointFilter() {
        started.clear();
        socket_open_at_stop.clear();
        adapter::set_firmware_starter([](adapter::Endpoint &, int socket) {
            return std::unique_ptr<adapter::Firmware>(std::make_unique<FakeFirmware>(socket));
        });
    }
    ~EndpointFilter() override { adapter::reset_firmware_starter(); }
    const uint16_t port_ = free_port();
};

TEST_F(EndpointFilter, AddBindsTheAddressAndPortAndReplacesAndDeleteOrCloseUnbinds) {
    EXPECT_EQ(endpoint_->filter_fd(), -1);
    {
        ScopedEnv rcvbuf("QEL_ADAPTER_RCVBUF", "1048576");
        ASSERT_EQ(add_filter(h_, port_), 0);
    }
    const int fd = endpoint_->filter_fd();
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size), 0);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), kLoopbackAddress);
    EXPECT_EQ(ntohs(bound.sin_port), port_);
    // The kernel doubles what it grants; a forced size is never cut to the system limit.
    int granted = 0, limit = 0;
    size = sizeof granted;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size), 0);
    std::ifstream("/proc/sys/net/core/rmem_max") >> limit;
    EXPECT_GE(granted, std::min(1048576, limit));

    const uint16_t next = free_port();
    ASSERT_EQ(add_filter(h_, next), 0);
    EXPECT_TRUE(can_bind(port_));
    EXPECT_FALSE(can_bind(next));
    hux_handle_t other = open_attached(1);
    EXPECT_EQ(add_filter(other, next), QEL_EBUSY) << "taken by the first endpoint";
    hux_close(other);
    EXPECT_EQ(add_filter(h_, port_, 0x0A0000FE), QEL_ENOADDR) << "not this host's address";
    EXPECT_FALSE(can_bind(next)) << "a failed add keeps the filter";

    ASSERT_EQ(delete_filter(h_), 0);
    EXPECT_EQ(endpoint_->filter_fd(), -1);
    EXPECT_TRUE(can_bind(next));
    EXPECT_EQ(delete_filter(h_), 0) << "nothing left to delete is fine";
    ASSERT_EQ(add_filter(h_, port_), 0);
    endpoint_.reset();
    hux_close(h_);
    h_ = HUX_INVALID_HANDLE;
    EXPECT_TRUE(can_bind(port_));
}

TEST_F(EndpointFilter, FirmwareRunsWhileEnabledWithAFilterAndStopsBeforeTheSocketCloses) {
    hux_handle_t h = HUX_INVALID_HANDLE;  // a fresh endpoint, not yet enabled
    ASSERT_EQ(open_device(2, &h), 0);
    ASSERT_EQ(attach(h, 2), 0);
    ASSERT_EQ(add_filter(h, free_port()), 0);
    EXPECT_TRUE(started.empty());
    ASSERT_EQ(hux_ioctl(h, TREL_ENABLE_ENDPT, nullptr, 0), 0);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], adapter::attached_endpoint(h)->filter_fd());
    ASSERT_EQ(add_filter(h, free_port()), 0);  // a new socket: stopped, then started on it
    ASSERT_EQ(started.size(), 2u);
    ASSERT_EQ(delete_filter(h), 0);
    ASSERT_EQ(add_filter(h, free_port()), 0);
    ASSERT_EQ(started.size(), 3u);
    hux_close(h);
    EXPECT_EQ(socket_open_at_stop, (std::vector<bool>{true, true, true}));
}

TEST_F(EndpointFilter, BadRecordsAreRefusedAndOpenNothing) {
    const FilterRecord good = filter_record(kLoopbackAddress, port_);
    std::array<uint8_t, 20> longer{};
    std::memcpy(longer.data(), &good, sizeof good);
    EXPECT_EQ(hux_ioctl(h_, TREL_FILTER_OP, longer.data(), 12), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h_, TREL_FILTER_OP, longer.data(), 20), QEL_EINVAL);
    // Address 0, broadcast, port 0, a VLAN, tag 0, operation 2, reserved bytes 11 and 12.
    int row = 0;
    for (auto change :
         {+[](FilterRecord &r) { r.address = 0; }, +[](FilterRecord &r) { r.address = 0xFFFFFFFF; },
          +[](FilterRecord &r) { r.port = 0; }, +[](FilterRecord &r) { r.vlan = 5; },
          +[](FilterRecord &r) { r.tag = 0; }, +[](FilterRecord &r) { r.operation = 2; },
          +[](FilterRecord &r) { r.reserved11 = 1; }, +[](FilterRecord &r) { r.reserved12 = 1; }}) {
        FilterRecord record = good;
        change(record);
        EXPECT_EQ(command(h_, TREL_FILTER_OP, record), QEL_EINVAL) << "row " << row++;
    }
    EXPECT_EQ(endpoint_->filter_fd(), -1);
}

}  // namespace
}  // namespace qel::test
