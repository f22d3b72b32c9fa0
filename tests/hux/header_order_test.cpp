// hux.h after the C library's interface headers, which name a field of their own
// `ifa_broadaddr` through a macro: the record's field still reads as ifa_broadaddr.
#include <ifaddrs.h>
#include <net/if.h>

#include "hux.h"

#include <gtest/gtest.h>

namespace qel::test {
namespace {

TEST(HuxHeader, BroadcastFieldReadsAfterTheCLibraryHeaders) {
    hux_ifaddrs record{};
    record.ifa_broadaddr = 0x01020304;
    EXPECT_EQ(record.ifa_ifu.ifu_broadaddr, 0x01020304u);
    ifaddrs host{};
    host.ifa_broadaddr = nullptr;  // the C library's own record is untouched
    EXPECT_EQ(host.ifa_ifu.ifu_broadaddr, nullptr);
}

}  // namespace
}  // namespace qel::test
