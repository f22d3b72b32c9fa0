// Adapter names: the names file read as a pure function (any bytes at all: fuzz/names_file.cpp),
// and names through the control device, kept in a private file, keyed by a present board's MAC
// or serial number, safe against a damaged file (two processes at once: tests/faults).
#include <sys/stat.h>  // chmod
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "adapter/names_file.h"
#include "adapter/names_store.h"
#include "endpoint_fixture.h"

namespace qel::test {
namespace {

adapter::NamesParse parse(const std::string &text) {
    return adapter::parse_names_file(
        std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

TEST(NamesFile, WrittenEntriesAreReadBackExactlyAndEveryCutIsRefused) {
    const std::vector<adapter::NameEntry> entries = {
        {"M=021A2B3C4D5E", "cam-left"},
        {"S=QSA000000000000-1", "line\nwith spaces and \xff bytes"},
        {"M=000000000000", ""},
    };
    for (const auto &written : {entries, std::vector<adapter::NameEntry>{}}) {
        const std::string whole = adapter::format_names_file(written);
        adapter::NamesParse back = parse(whole);
        ASSERT_TRUE(back.ok) << back.error;
        EXPECT_EQ(back.entries, written);
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            EXPECT_FALSE(parse(whole.substr(0, cut)).ok) << "cut at " << cut;
        }
    }
}

TEST(NamesFile, DamagedFilesAreRefusedWithAReason) {
    const std::string head = "qel adapter names 1\n";
    const std::string line = "4d3d303231413242334334443545 63616d\n";  // M=021A2B3C4D5E cam
    const std::string mac = "4d3d303231413242334334443545 ";
    const std::pair<std::string, const char *> damaged[] = {
        {"", "empty"},
        {"hello\n", "not a qel adapter names file"},
        {head + line, "no end line"},
        {head + line.substr(0, 10), "cut short"},
        {head + line + "end 1", "cut short"},
        {head + line + "end 2\n", "counts 2"},
        {head + line + "end x\n", "without a count"},
        {head + line + "end 1\n" + line, "after the end"},
        {head + "4d3 63\nend 1\n", "not hexadecimal"},
        {head + "4d3d zz\nend 1\n", "not hexadecimal"},
        {head + "4d3d 63 63\nend 1\n", "not a key and a name"},
        {head + "4d3d\nend 1\n", "not a key and a name"},
        {head + "4d3d303231613262336334643565 63\nend 1\n", "not an adapter key"},  // lower case
        {head + mac + "6300\nend 1\n", "not an adapter name"},                      // a NUL
        {head + mac + std::string(512, '6') + "\nend 1\n", "not an adapter name"},  // too long
        {head + line + line + "end 2\n", "named twice"},
        {std::string(adapter::kMaxNamesFileBytes + 1, '\n'), "larger"},
    };
    for (const auto &[text, reason] : damaged) {
        SCOPED_TRACE(reason);
        adapter::NamesParse result = parse(text);
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(result.entries.empty());
        EXPECT_NE(result.error.find(reason), std::string::npos) << result.error;
    }
}

TEST(NamesFile, KeysAndNames) {
    EXPECT_TRUE(adapter::valid_name_key("M=021A2B3C4D5E"));
    EXPECT_FALSE(adapter::valid_name_key("M=021a2b3c4d5e"));
    EXPECT_FALSE(adapter::valid_name_key("M=021A2B3C4D5"));
    EXPECT_TRUE(adapter::valid_name_key("S=" + std::string(24, 'A')));
    EXPECT_FALSE(adapter::valid_name_key("S=" + std::string(25, 'A')));
    EXPECT_FALSE(adapter::valid_name_key("S="));
    EXPECT_FALSE(adapter::valid_name_key(std::string("S=A\0B", 5)));
    EXPECT_FALSE(adapter::valid_name_key("X=1"));
    EXPECT_TRUE(adapter::valid_stored_name(std::string(255, 'n')));
    EXPECT_FALSE(adapter::valid_stored_name(std::string(256, 'n')));
}

NameRecord key(const char *serial_key = nullptr) {
    NameRecord record{};  // without a serial key: loopback's MAC, six zero octets
    if (serial_key) std::snprintf(reinterpret_cast<char *>(record.key), 32, "%s", serial_key);
    return record;
}

class AdapterNames : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        ASSERT_EQ(hux_open_any_board(&h_, HUX_PRODUCT_CODE), 0);
        char serial[32] = {};
        ASSERT_EQ(hux_get_serial_from_board(0, serial), 0);
        serial_key_ = std::string("S=") + serial;
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
    // The stored name, or the command's code as text.
    std::string get(NameRecord record) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        record.name = reinterpret_cast<uintptr_t>(buffer);
        const int rc = hux_ioctl(h_, TREL_GET_NAME, &record, sizeof record);
        return rc ? "code " + std::to_string(rc) : std::string(buffer, strnlen(buffer, 256));
    }
    int reset(NameRecord record) { return command(h_, TREL_RESET_NAME, record); }
    int reset_all() { return hux_ioctl(h_, TREL_RESET_ALL_NAMES, nullptr, 0); }
    std::string names_file() const { return state_dir() + "/adapter-names"; }
    static unsigned mode_of(const std::string &path) {
        return static_cast<unsigned>(std::filesystem::status(path).permissions());
    }

    hux_handle_t h_ = HUX_INVALID_HANDLE;
    std::string serial_key_;
};

TEST_F(AdapterNames, SetGetAndResetByMacAndBySerialInAPrivateFile) {
    const NameRecord by_mac = key(), by_serial = key(serial_key_.c_str());
    EXPECT_EQ(get(by_mac), "code 2");
    ASSERT_EQ(set(by_mac, "cam-left"), 0);
    ASSERT_EQ(set(by_serial, "line two"), 0);
    EXPECT_EQ(get(by_mac), "cam-left");
    EXPECT_EQ(get(by_serial), "line two");
    EXPECT_EQ(mode_of(names_file()), 0600u);
    EXPECT_EQ(mode_of(state_dir()), 0700u);
    ASSERT_EQ(chmod(names_file().c_str(), 0644), 0);  // private again after the next change
    ASSERT_EQ(set(by_mac, std::string(255, 'n')), 0);
    EXPECT_EQ(get(by_mac), std::string(255, 'n'));
    EXPECT_EQ(mode_of(names_file()), 0600u);
    ASSERT_EQ(set(by_mac, ""), 0);
    EXPECT_EQ(get(by_mac), "");
    EXPECT_EQ(command(h_, TREL_GET_NAME, by_mac), QEL_EINVAL) << "no buffer";

    ASSERT_EQ(reset(by_mac), 0);
    EXPECT_EQ(get(by_mac), "code 2");
    EXPECT_EQ(get(by_serial), "line two");
    EXPECT_EQ(reset(by_mac), 0) << "nothing left to reset";
    ASSERT_EQ(reset_all(), 0);
    EXPECT_EQ(get(by_serial), "code 2");
    EXPECT_EQ(command(h_, TREL_RESET_ALL_NAMES, uint32_t{}), QEL_EINVAL) << "takes no record";
}

TEST_F(AdapterNames, KeysOfNoPresentBoardAre19AndBadSetRecords22AndNothingIsWritten) {
    NameRecord other_mac = key();
    std::memcpy(other_mac.key, "\x02\x1A\x2B\x3C\x4D\x5E", 6);
    for (const NameRecord &record : {other_mac, key("S=NOSUCHBOARD")}) {
        EXPECT_EQ(set(record, "x"), QEL_ENODEV);
        EXPECT_EQ(get(record), "code 19");
        EXPECT_EQ(reset(record), QEL_ENODEV);
    }
    struct Bad {
        const char *what;
        void (*change)(NameRecord &, char *);
        uint32_t length = 48;
    };
    const Bad bads[] = {
        {"short record", [](NameRecord &, char *) {}, 40},
        {"null name", [](NameRecord &r, char *) { r.name = 0; }},
        {"length 0", [](NameRecord &r, char *) { r.length = 0; }},
        {"length 257", [](NameRecord &r, char *t) { std::memset(t, 'a', 256), r.length = 257; }},
        {"no terminator", [](NameRecord &r, char *) { r.length = 4; }},
        {"early terminator", [](NameRecord &r, char *) { r.length = 7; }},
        {"serial key unterminated",
         [](NameRecord &r, char *) { std::memset(r.key, 'A', 32), std::memcpy(r.key, "S=", 2); }},
        {"serial key empty", [](NameRecord &r, char *) { std::memcpy(r.key, "S=", 2); }},
        {"serial key 27 characters",
         [](NameRecord &r, char *) { std::memcpy(r.key, "S=AAAAAAAAAAAAAAAAAAAAAAAAA", 27); }},
    };
    for (const Bad &bad : bads) {
        char text[300] = "name";
        NameRecord record = key();
        record.name = reinterpret_cast<uintptr_t>(text);
        record.length = 5;
        bad.change(record, text);
        EXPECT_EQ(command(h_, TREL_SET_NAME, record, bad.length), QEL_EINVAL) << bad.what;
    }
    EXPECT_NE(access(names_file().c_str(), F_OK), 0) << "nothing was written";
}

TEST_F(AdapterNames, DamagedFileIsReportedNeverReadAndResetAllReplacesIt) {
    ASSERT_EQ(set(key(), "kept"), 0);
    // Cut short by something outside the adapter: the end line is gone.
    std::filesystem::resize_file(names_file(), std::filesystem::file_size(names_file()) - 4);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(get(key()), "code " + std::to_string(adapter::kNamesFileDamaged));
    // A change would lose what the file still holds: refused as well.
    EXPECT_EQ(set(key(), "new"), adapter::kNamesFileDamaged);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("adapter names file"), std::string::npos) << said;
    EXPECT_NE(said.find("damaged"), std::string::npos) << said;
    ASSERT_EQ(reset_all(), 0);
    EXPECT_EQ(get(key()), "code 2");
    ASSERT_EQ(set(key(), "again"), 0);
    EXPECT_EQ(get(key()), "again");
}

}  // namespace
}  // namespace qel::test
