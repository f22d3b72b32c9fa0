// What a person sees while a run goes on: the status line's rates over the last interval, and
// the line rewritten in place on a terminal but printed whole into a pipe or file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "recv/report.h"
#include "recv/status_printer.h"

namespace qel::recv_tool {
namespace {

TEST(StatusLine, RatesAreThoseOfTheLastIntervalCountsAreTotals) {
    Sample before{2.0, 0.5, 100, 100'000'000, 1, 2, 3};
    Sample now{4.0, 1.0, 160, 350'000'000, 4, 5, 9};
    // 60 frames and 250 MB in 2 s; 0.5 s of processor time in 2 s.
    EXPECT_EQ(status_line(before, now),
              "   4.0 s     30.0 frames/s   1.000 Gbit/s  delivered 160  incomplete 4  dropped 5  "
              "resend requests 9  CPU 25%");
}

std::string printed_by(FILE *out, FILE *read_back, bool in_place) {
    {
        StatusPrinter printer(out, in_place);
        printer.show("first");
        printer.show("second");
    }
    std::fflush(out);
    std::string text;
    char chunk[256];
    const int fd = fileno(read_back);
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, size_t(n));
    }
    return text;
}

// In a pipe plain lines; on a terminal the line is rewritten in place unless plain lines are
// asked for. The terminal turns "\n" into "\r\n" on its way out.
TEST(StatusPrinter, RewritesTheLineInPlaceOnlyOnATerminalThatAllowsIt) {
    const struct {
        bool terminal, in_place;
        const char *seen;
    } cases[] = {{false, true, "first\nsecond\n"},
                 {true, true, "\rfirst\033[K\rsecond\033[K\r\n"},
                 {true, false, "first\r\nsecond\r\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seen);
        int fds[2];  // the side read back, the side written
        if (c.terminal) {
            fds[0] = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_GE(fds[0], 0);
            ASSERT_EQ(grantpt(fds[0]), 0);
            ASSERT_EQ(unlockpt(fds[0]), 0);
            fds[1] = open(ptsname(fds[0]), O_RDWR | O_NOCTTY);
            ASSERT_GE(fds[1], 0);
        } else {
            ASSERT_EQ(pipe(fds), 0);
        }
        FILE *out = fdopen(fds[1], "w");
        FILE *in = fdopen(fds[0], "r");
        EXPECT_EQ(printed_by(out, in, c.in_place), c.seen);
        std::fclose(out);
        std::fclose(in);
    }
}

}  // namespace
}  // namespace qel::recv_tool
