// Which sender a stream takes its packets from: the first leader's, until it falls silent and
// another sends a leader; only the named camera's address when the host names one.
#include "adapter/firmware/source_filter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace qel::test {
namespace {

using adapter::SourceFilter;
using adapter::SourceRule;

constexpr uint64_t kSecond = 1'000'000'000;

struct From {
    sockaddr_storage address{};
    From(const char *ip, uint16_t port) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = inet_addr(ip);
        std::memcpy(&address, &in, sizeof in);
    }
};

// One packet offered to the filter as the receiver does: a sender it refuses may still take
// the stream over with a leader.
bool take(SourceFilter &filter, const From &from, bool leader, uint64_t now) {
    const socklen_t length = sizeof(sockaddr_in);
    if (!filter.accepts(from.address, length, now) &&
        !(leader && filter.may_take_over(from.address, length, now))) {
        return false;
    }
    if (leader) filter.on_leader(from.address, length, now);
    return true;
}

struct Step {
    const char *ip;
    uint16_t port;
    bool leader;
    uint64_t at;
    bool taken;
};

struct SourceCase {
    const char *name;
    SourceRule rule;
    std::vector<Step> steps;
};

class Sources : public ::testing::TestWithParam<SourceCase> {};

TEST_P(Sources, TakeTheStreamsSenderOnly) {
    SourceFilter filter(GetParam().rule);
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Step &s = GetParam().steps[i];
        EXPECT_EQ(take(filter, From(s.ip, s.port), s.leader, s.at), s.taken) << "step " << i;
    }
}

const uint32_t kCamera = 0x7F000002;  // 127.0.0.2

INSTANTIATE_TEST_SUITE_P(
    Firmware, Sources,
    ::testing::Values(
        // A stray leader chooses first; the camera takes over once the stray is silent.
        SourceCase{"stray_then_camera",
                   {},
                   {{"127.0.0.1", 5000, true, 0, true},
                    {"127.0.0.1", 6000, true, kSecond / 2, false},
                    {"127.0.0.1", 6000, false, kSecond / 2, false},
                    {"127.0.0.1", 6000, true, kSecond, true},
                    {"127.0.0.1", 6000, false, kSecond, true},
                    {"127.0.0.1", 5000, true, kSecond + 1, false}}},
        // A camera that keeps sending keeps the stream against other leaders.
        SourceCase{"busy_source_kept",
                   {},
                   {{"127.0.0.1", 5000, true, 0, true},
                    {"127.0.0.1", 5000, false, kSecond - 1, true},
                    {"127.0.0.1", 6000, true, kSecond + 1, false},
                    {"127.0.0.1", 6000, true, 2 * kSecond - 2, false},
                    {"127.0.0.1", 6000, true, 2 * kSecond - 1, true}}},
        // A named camera: other addresses never, not even first or after silence.
        SourceCase{"named_camera",
                   {false, kCamera},
                   {{"127.0.0.1", 5000, true, 0, false},
                    {"127.0.0.2", 7000, true, 1, true},
                    {"127.0.0.1", 5000, true, 10 * kSecond, false},
                    {"127.0.0.2", 7001, true, 10 * kSecond, true}}},
        SourceCase{"any_source",
                   {true, 0},
                   {{"127.0.0.1", 5000, true, 0, true}, {"127.0.0.3", 6000, false, 1, true}}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
