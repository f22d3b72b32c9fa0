// What every software-adapter test needs: loopback as the only board, private run and state
// directories for this test, and short ways to send the endpoint commands.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/driver.h"
#include "hux.h"

namespace qel::test {

// A fresh directory under the temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens endpoint `endpoint` of board 0; 0 or the open's code.
    static int open_device(uint32_t endpoint, hux_handle_t *h);
    // TREL_OPEN_ENDPT with `endpoint` and 500 on `h`.
    static int attach(hux_handle_t h, uint32_t endpoint);
    // Opens, attaches and enables endpoint `endpoint`; fails the test otherwise.
    static hux_handle_t open_attached(uint32_t endpoint);
    // The endpoint's regions as TREL_GET_ENDPT_MAPS gives them, mapped.
    struct Mapped {
        uint8_t *base[driver::kRegionCount] = {};
        uint32_t length[driver::kRegionCount] = {};
    };
    static Mapped map_all(hux_handle_t h);

    std::string run_dir() const { return dirs_->path() + "/run"; }
    std::string state_dir() const { return dirs_->path() + "/state"; }

private:
    std::unique_ptr<TempDir> dirs_;
};

// Runs `child` in a forked process and returns its exit status (-1 when it did not exit).
// The child must not use gtest assertions; it reports through its exit code.
int run_in_child(int (*child)(void *), void *context);

}  // namespace qel::test
