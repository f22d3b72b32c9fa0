// Segmented sending: which packets of a batch travel as one send the kernel cuts up, and that a
// receiver gets every packet, whole and in order, whether the kernel segments or refuses to (a
// socket without UDP checksums is one it refuses: the batch goes on one packet per message).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <numeric>
#include <vector>

#include "camsim/udp.h"
#include "wire_helpers.h"

namespace qel::camsim {
namespace {

TEST(Segmentation, RunsAreFullDatagramsEndedByAtMostOneShorterOne) {
    struct Case {
        const char *what;
        std::vector<size_t> lengths;
        size_t segment;
        std::vector<size_t> runs;  // from the first datagram on, run after run
    };
    const std::vector<size_t> full70(70, 100);
    const Case cases[] = {
        {"leader, payloads, short last payload, trailer",
         {44, 100, 100, 100, 60, 16},
         100,
         {1, 4, 1}},
        {"a short datagram in the middle ends its run", {100, 50, 100, 100}, 100, {2, 2}},
        {"a lone full datagram", {100}, 100, {1}},
        {"at most 64 segments", full70, 100, {64, 6}},
        {"at most 65507 bytes", {30000, 30000, 30000, 10}, 30000, {2, 2}},
        {"a datagram too large to join another", {40000, 40000}, 40000, {1, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<size_t> runs;
        for (size_t first = 0; first < c.lengths.size();) {
            const size_t run = segment_run(c.lengths, first, c.segment);
            ASSERT_GT(run, 0u);
            runs.push_back(run);
            first += run;
        }
        EXPECT_EQ(runs, c.runs);
        EXPECT_EQ(segment_run(c.lengths, c.lengths.size(), c.segment), 0u);
    }
}

TEST(Segmentation, EveryPacketArrivesWholeAndInOrderWhetherTheKernelSegmentsOrNot) {
    constexpr uint32_t kDatagram = 1000;
    // A frame as the sender batches it: leader, full payloads, a short last one, the trailer,
    // then the next frame's first packets.
    std::vector<size_t> lengths = {44};
    lengths.insert(lengths.end(), 20, kDatagram);
    lengths.insert(lengths.end(), {700, 16, 44, kDatagram, kDatagram, kDatagram});
    for (const bool checksums : {true, false}) {
        SCOPED_TRACE(checksums ? "kernel segments" : "kernel refuses");
        camsim_test::UdpSocket receiver;
        const Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(fd.valid());
        const int no_check = checksums ? 0 : 1;
        ASSERT_EQ(setsockopt(fd.get(), SOL_SOCKET, SO_NO_CHECK, &no_check, sizeof no_check), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(receiver.port());
        ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&to), sizeof to), 0);

        PacketBatch batch(64, kDatagram, true);
        for (size_t i = 0; i < lengths.size(); ++i) {
            const std::span<uint8_t> buffer = batch.next_buffer();
            for (size_t k = 0; k < lengths[i]; ++k) buffer[k] = static_cast<uint8_t>(i * 7 + k);
            batch.commit(lengths[i]);
        }
        const PacketBatch::Result result = batch.send(fd.get());
        EXPECT_EQ(result.fatal, 0);
        EXPECT_EQ(result.failed, 0u);
        EXPECT_EQ(result.sent, lengths.size());
        EXPECT_EQ(result.bytes, std::accumulate(lengths.begin(), lengths.end(), size_t{0}));
        EXPECT_EQ(batch.segmenting(), checksums);
        EXPECT_EQ(batch.size(), 0u);
        for (size_t i = 0; i < lengths.size(); ++i) {
            const auto got = receiver.receive(std::chrono::seconds(10));
            ASSERT_TRUE(got.has_value()) << "datagram " << i;
            ASSERT_EQ(got->size(), lengths[i]) << "datagram " << i;
            for (size_t k = 0; k < lengths[i]; ++k) {
                ASSERT_EQ((*got)[k], static_cast<uint8_t>(i * 7 + k)) << i << ":" << k;
            }
        }
    }
}

}  // namespace
}  // namespace qel::camsim
