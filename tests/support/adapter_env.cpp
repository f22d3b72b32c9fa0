#include "support/adapter_env.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace qel::test {

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/qel-test-XXXXXX";
    char *made = mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void AdapterTest::SetUp() {
    dirs_ = std::make_unique<TempDir>();
    setenv("QEL_ADAPTER_IFACES", "lo", 1);
    setenv("QEL_ADAPTER_RUN_DIR", run_dir().c_str(), 1);
    setenv("QEL_ADAPTER_STATE_DIR", state_dir().c_str(), 1);
    unsetenv("QEL_ADAPTER_RING_BYTES");
    unsetenv("QEL_ADAPTER_ENDPOINTS");
}

void AdapterTest::TearDown() {
    dirs_.reset();
}

int AdapterTest::open_device(uint32_t endpoint, hux_handle_t *h) {
    return hux_open(0, endpoint, h, HUX_PRODUCT_CODE);
}

int AdapterTest::attach(hux_handle_t h, uint32_t endpoint) {
    driver::OpenEndpointRecord record{endpoint, driver::kOpenEndpointMagic};
    return hux_ioctl(h, driver::TREL_OPEN_ENDPT, &record, sizeof record);
}

hux_handle_t AdapterTest::open_attached(uint32_t endpoint) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    EXPECT_EQ(open_device(endpoint, &h), 0);
    EXPECT_EQ(attach(h, endpoint), 0);
    EXPECT_EQ(hux_ioctl(h, driver::TREL_ENABLE_ENDPT, nullptr, 0), 0);
    return h;
}

AdapterTest::Mapped AdapterTest::map_all(hux_handle_t h) {
    Mapped mapped;
    driver::EndpointMapsRecord maps{};
    EXPECT_EQ(hux_ioctl(h, driver::TREL_GET_ENDPT_MAPS, &maps, sizeof maps), 0);
    for (int i = 0; i < driver::kRegionCount; ++i) {
        const driver::RegionPlace place = driver::region_place(maps, i);
        void *p = hux_mmap(nullptr, place.length, h, place.offset, 0);
        EXPECT_NE(p, reinterpret_cast<void *>(~uintptr_t{0})) << "region " << i;
        mapped.base[i] = static_cast<uint8_t *>(p);
        mapped.length[i] = place.length;
    }
    return mapped;
}

int run_in_child(int (*child)(void *), void *context) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(child(context));
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace qel::test
