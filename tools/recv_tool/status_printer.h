// Prints the status line of each second: rewritten in place on a terminal, one plain line per
// second otherwise (a log file or a pipe gets whole lines).
#pragma once

#include <cstdio>
#include <string>

namespace qel::recv_tool {

class StatusPrinter {
public:
    // `in_place` false forces plain lines even on a terminal (when other lines are printed
    // between status lines).
    StatusPrinter(FILE *out, bool in_place);
    ~StatusPrinter() { finish(); }
    StatusPrinter(const StatusPrinter &) = delete;
    StatusPrinter &operator=(const StatusPrinter &) = delete;

    void show(const std::string &line);
    // Ends a line left open in place, so that what follows starts on its own line.
    void finish();

private:
    FILE *out_;
    bool in_place_;
    bool open_line_ = false;
};

}  // namespace qel::recv_tool
