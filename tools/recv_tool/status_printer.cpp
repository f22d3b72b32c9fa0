#include "recv_tool/status_printer.h"

#include <unistd.h>

namespace qel::recv_tool {

StatusPrinter::StatusPrinter(FILE *out, bool in_place)
    : out_(out), in_place_(in_place && isatty(fileno(out)) == 1) {}

void StatusPrinter::show(const std::string &line) {
    if (in_place_) {
        // Back to the start of the line, the new text, then clear what a longer line left.
        std::fprintf(out_, "\r%s\033[K", line.c_str());
        open_line_ = true;
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}

void StatusPrinter::finish() {
    if (open_line_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        open_line_ = false;
    }
}

}  // namespace qel::recv_tool
