// Adapter names through the control device: kept in a private file that outlives the process,
// keyed by a present board's MAC or serial number, safe against a second process and against
// a damaged file.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "adapter/names_store.h"
#include "support/adapter_env.h"
#include "qel.h"

namespace qel::test {
namespace {

using namespace qel::driver;

NameRecord mac_record(const uint8_t (&mac)[6]) {
    NameRecord record{};
    std::memcpy(record.key, mac, 6);
    return record;
}

NameRecord serial_record(const char *key) {
    NameRecord record{};
    std::snprintf(reinterpret_cast<char *>(record.key), sizeof record.key, "%s", key);
    return record;
}

constexpr uint8_t kLoopbackMac[6] = {0, 0, 0, 0, 0, 0};

std::string loopback_serial_key() {
    char serial[32] = {};
    EXPECT_EQ(hux_get_serial_from_board(0, serial), 0);
    return std::string("S=") + serial;
}

class AdapterNames : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        ASSERT_EQ(hux_open_any_board(&h_, HUX_PRODUCT_CODE), 0);
    }
    void TearDown() override {
        hux_close(h_);
        AdapterTest::TearDown();
    }
    int set(NameRecord record, const std::string &name) {
        record.name = reinterpret_cast<uintptr_t>(name.c_str());
        record.length = static_cast<uint32_t>(name.size() + 1);
        return hux_ioctl(h_, TREL_SET_NAME, &record, sizeof record);
    }
    int get(NameRecord record, std::string *name) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        record.name = reinterpret_cast<uintptr_t>(buffer);
        int rc = hux_ioctl(h_, TREL_GET_NAME, &record, sizeof record);
        if (rc == 0) *name = std::string(buffer, strnlen(buffer, sizeof buffer));
        return rc;
    }
    int reset(NameRecord record) { return hux_ioctl(h_, TREL_RESET_NAME, &record, sizeof record); }
    int reset_all() { return hux_ioctl(h_, TREL_RESET_ALL_NAMES, nullptr, 0); }
    std::string names_file() const { return state_dir() + "/adapter-names"; }

    hux_handle_t h_ = HUX_INVALID_HANDLE;
};

TEST_F(AdapterNames, SetThenGetByMacAndBySerial) {
    const NameRecord by_mac = mac_record(kLoopbackMac);
    const NameRecord by_serial = serial_record(loopback_serial_key().c_str());
    std::string name;
    EXPECT_EQ(get(by_mac, &name), QEL_ENOENT);
    ASSERT_EQ(set(by_mac, "cam-left"), 0);
    ASSERT_EQ(set(by_serial, "line two"), 0);
    ASSERT_EQ(get(by_mac, &name), 0);
    EXPECT_EQ(name, "cam-left");
    ASSERT_EQ(get(by_serial, &name), 0);
    EXPECT_EQ(name, "line two");
    ASSERT_EQ(set(by_mac, "cam-right"), 0);  // replaces
    ASSERT_EQ(get(by_mac, &name), 0);
    EXPECT_EQ(name, "cam-right");
}

TEST_F(AdapterNames, FileIsPrivate) {
    ASSERT_EQ(set(mac_record(kLoopbackMac), "cam"), 0);
    struct stat facts {};
    ASSERT_EQ(stat(names_file().c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(state_dir().c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0700u);
    // A file someone opened up is private again after the next change.
    ASSERT_EQ(chmod(names_file().c_str(), 0644), 0);
    ASSERT_EQ(set(mac_record(kLoopbackMac), "cam2"), 0);
    ASSERT_EQ(stat(names_file().c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0600u);
}

TEST_F(AdapterNames, LongestNameAndEmptyName) {
    const NameRecord key = mac_record(kLoopbackMac);
    const std::string longest(255, 'n');
    ASSERT_EQ(set(key, longest), 0);
    std::string name;
    ASSERT_EQ(get(key, &name), 0);
    EXPECT_EQ(name, longest);
    ASSERT_EQ(set(key, ""), 0);
    ASSERT_EQ(get(key, &name), 0);
    EXPECT_EQ(name, "");
}

int set_name_in_child(void *) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (hux_open_any_board(&h, HUX_PRODUCT_CODE) != 0) return 1;
    NameRecord record = mac_record(kLoopbackMac);
    static const char kName[] = "set by another process";
    record.name = reinterpret_cast<uintptr_t>(kName);
    record.length = sizeof kName;
    return hux_ioctl(h, TREL_SET_NAME, &record, sizeof record) == 0 ? 0 : 2;
}

TEST_F(AdapterNames, NameSetByAnExitedProcessIsReadBack) {
    ASSERT_EQ(run_in_child(set_name_in_child, nullptr), 0);
    std::string name;
    ASSERT_EQ(get(mac_record(kLoopbackMac), &name), 0);
    EXPECT_EQ(name, "set by another process");
}

TEST_F(AdapterNames, ResetOneAndResetAll) {
    const NameRecord by_mac = mac_record(kLoopbackMac);
    const NameRecord by_serial = serial_record(loopback_serial_key().c_str());
    ASSERT_EQ(set(by_mac, "a"), 0);
    ASSERT_EQ(set(by_serial, "b"), 0);
    std::string name;
    ASSERT_EQ(reset(by_mac), 0);
    EXPECT_EQ(get(by_mac, &name), QEL_ENOENT);
    ASSERT_EQ(get(by_serial, &name), 0);
    EXPECT_EQ(name, "b");
    EXPECT_EQ(reset(by_mac), 0);  // nothing left to reset
    ASSERT_EQ(reset_all(), 0);
    EXPECT_EQ(get(by_serial, &name), QEL_ENOENT);
    EXPECT_EQ(hux_ioctl(h_, TREL_RESET_ALL_NAMES, &name, 4), QEL_EINVAL);
}

TEST_F(AdapterNames, KeysNamingNoPresentBoardAreRefusedWith19) {
    const uint8_t other_mac[6] = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const NameRecord records[] = {mac_record(other_mac), serial_record("S=NOSUCHBOARD")};
    for (const NameRecord &record : records) {
        std::string name;
        EXPECT_EQ(set(record, "x"), QEL_ENODEV);
        EXPECT_EQ(get(record, &name), QEL_ENODEV);
        EXPECT_EQ(reset(record), QEL_ENODEV);
    }
    EXPECT_NE(access(names_file().c_str(), F_OK), 0);  // nothing was written
}

struct BadName {
    const char *what;
    void (*change)(NameRecord &record, char (&text)[300]);
    uint32_t length;
};

class AdapterNamesRecord : public AdapterNames, public ::testing::WithParamInterface<BadName> {};

TEST_P(AdapterNamesRecord, SetIsRefusedWith22) {
    char text[300] = "name";
    NameRecord record = mac_record(kLoopbackMac);
    record.name = reinterpret_cast<uintptr_t>(text);
    record.length = 5;
    GetParam().change(record, text);
    EXPECT_EQ(hux_ioctl(h_, TREL_SET_NAME, &record, GetParam().length), QEL_EINVAL);
    EXPECT_NE(access(names_file().c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Records, AdapterNamesRecord,
    ::testing::Values(
        BadName{"short_record", [](NameRecord &, char (&)[300]) {}, 40},
        BadName{"null_name", [](NameRecord &r, char (&)[300]) { r.name = 0; }, 48},
        BadName{"length_0", [](NameRecord &r, char (&)[300]) { r.length = 0; }, 48},
        BadName{"length_257",
                [](NameRecord &r, char (&t)[300]) {
                    std::memset(t, 'a', 256);
                    t[256] = 0;
                    r.length = 257;
                },
                48},
        BadName{"no_terminator", [](NameRecord &r, char (&)[300]) { r.length = 4; }, 48},
        BadName{"early_terminator", [](NameRecord &r, char (&)[300]) { r.length = 7; }, 48},
        BadName{"serial_key_unterminated",
                [](NameRecord &r, char (&)[300]) {
                    std::memset(r.key, 'A', sizeof r.key);
                    r.key[0] = 'S';
                    r.key[1] = '=';
                },
                48},
        BadName{"serial_key_empty",
                [](NameRecord &r, char (&)[300]) {
                    std::memset(r.key, 0, sizeof r.key);
                    std::memcpy(r.key, "S=", 2);
                },
                48},
        BadName{"serial_key_27_characters",
                [](NameRecord &r, char (&)[300]) {
                    std::memset(r.key, 0, sizeof r.key);
                    std::memcpy(r.key, "S=", 2);
                    std::memset(r.key + 2, 'A', 25);
                },
                48}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(AdapterNames, GetNeedsABuffer) {
    ASSERT_EQ(set(mac_record(kLoopbackMac), "cam"), 0);
    NameRecord record = mac_record(kLoopbackMac);
    EXPECT_EQ(hux_ioctl(h_, TREL_GET_NAME, &record, sizeof record), QEL_EINVAL);
}

TEST_F(AdapterNames, DamagedFileIsReportedNeverReadAndResetAllReplacesIt) {
    const NameRecord key = mac_record(kLoopbackMac);
    ASSERT_EQ(set(key, "kept"), 0);
    std::string whole;
    {
        std::ifstream in(names_file(), std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    // Cut short by something outside the adapter: the end line is gone.
    {
        std::ofstream out(names_file(), std::ios::binary | std::ios::trunc);
        out << whole.substr(0, whole.size() - 4);
    }
    ::testing::internal::CaptureStderr();
    std::string name;
    EXPECT_EQ(get(key, &name), adapter::kNamesFileDamaged);
    // A change would lose what the file still holds: refused as well.
    EXPECT_EQ(set(key, "new"), adapter::kNamesFileDamaged);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("adapter names file"), std::string::npos) << said;
    EXPECT_NE(said.find("damaged"), std::string::npos) << said;

    ASSERT_EQ(reset_all(), 0);
    EXPECT_EQ(get(key, &name), QEL_ENOENT);
    ASSERT_EQ(set(key, "again"), 0);
    ASSERT_EQ(get(key, &name), 0);
    EXPECT_EQ(name, "again");
}

// Two processes change names at the same time; neither loses the other's.
struct Writer {
    int board;
    const char *prefix;
};

int write_names(void *context) {
    const auto *writer = static_cast<Writer *>(context);
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (hux_open_any_board(&h, HUX_PRODUCT_CODE) != 0) return 1;
    char serial[32] = {};
    if (hux_get_serial_from_board(static_cast<uint32_t>(writer->board), serial) != 0) return 2;
    NameRecord record{};
    std::snprintf(reinterpret_cast<char *>(record.key), sizeof record.key, "S=%s", serial);
    for (int i = 0; i < 20; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s %d", writer->prefix, i);
        record.name = reinterpret_cast<uintptr_t>(name);
        record.length = static_cast<uint32_t>(std::strlen(name) + 1);
        if (hux_ioctl(h, TREL_SET_NAME, &record, sizeof record) != 0) return 3;
    }
    return 0;
}

TEST_F(AdapterNames, ConcurrentWritersInTwoProcessesLoseNothing) {
    // Loopback twice: two boards sharing one MAC, told apart by their serial numbers.
    setenv("QEL_ADAPTER_IFACES", "lo,lo", 1);
    Writer first{0, "first"};
    Writer second{1, "second"};
    fflush(nullptr);
    pid_t a = fork();
    ASSERT_GE(a, 0);
    if (a == 0) _exit(write_names(&first));
    const int second_status = run_in_child(write_names, &second);
    int status = 0;
    ASSERT_EQ(waitpid(a, &status, 0), a);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(second_status, 0);

    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(hux_open_any_board(&h, HUX_PRODUCT_CODE), 0);
    std::swap(h, h_);
    hux_close(h);
    for (const Writer &writer : {first, second}) {
        char serial[32] = {};
        ASSERT_EQ(hux_get_serial_from_board(static_cast<uint32_t>(writer.board), serial), 0);
        std::string name;
        ASSERT_EQ(get(serial_record((std::string("S=") + serial).c_str()), &name), 0);
        EXPECT_EQ(name, std::string(writer.prefix) + " 19");
    }
}

}  // namespace
}  // namespace qel::test
