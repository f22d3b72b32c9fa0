// Attaching the software adapter's endpoints: one holder at a time, in a private run directory.
#include <sys/stat.h>
#include <unistd.h>

#include "endpoint_fixture.h"

namespace qel::test {
namespace {

class SoftwareAdapter : public AdapterTest {};

TEST_F(SoftwareAdapter, HeldEndpointIsBusyUntilClosedAndTheLockFileIsPrivate) {
    hux_handle_t first = open_attached(0);
    EXPECT_EQ(attach(first, 0), QEL_EBUSY) << "the same handle again";
    hux_handle_t second = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &second), 0);
    EXPECT_EQ(attach(second, 0), QEL_EBUSY);
    struct stat dir {};
    ASSERT_EQ(stat(run_dir().c_str(), &dir), 0);
    EXPECT_EQ(dir.st_mode & 0777, 0700u);
    EXPECT_EQ(access((run_dir() + "/lo.e0.lock").c_str(), F_OK), 0);
    hux_close(first);
    EXPECT_EQ(attach(second, 0), 0);
    hux_close(second);
}

}  // namespace
}  // namespace qel::test
