// Adapter names: a damaged names file is refused with its reason, and names are set, read and
// reset through the control device, keyed by a present board's MAC or serial number.

#include <cstdio>
#include <cstring>

#include "adapter/driver/names_file.h"
#include "endpoint_fixture.h"

namespace qel::test {
namespace {

adapter::NamesParse parse(const std::string &text) {
    return adapter::parse_names_file(
        std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

TEST(NamesFile, DamagedFilesAreRefusedWithAReason) {
    const std::string head = "qel adapter names 1\n";
    const std::string line = "4d3d303231413242334334443545 63616d\n";  // M=021A2B3C4D5E cam
    const std::pair<std::string, const char *> damaged[] = {
        {"", "empty"},
        {"hello\n", "not a qel adapter names file"},
        {head + line, "no end line"},
        {head + line.substr(0, 10), "cut short"},
        {head + line + "end 1", "cut short"},
        {head + "4d3 63\nend 1\n", "not hexadecimal"},
        {head + line + line + "end 2\n", "named twice"},
    };
    for (const auto &[text, reason] : damaged) {
        SCOPED_TRACE(reason);
        adapter::NamesParse result = parse(text);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(reason), std::string::npos) << result.error;
    }
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
    // The stored name, or the command's code as text.
    std::string get(NameRecord record) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        record.name = reinterpret_cast<uintptr_t>(buffer);
        const int rc = hux_ioctl(h_, TREL_GET_NAME, &record, sizeof record);
        return rc ? "code " + std::to_string(rc) : std::string(buffer, strnlen(buffer, 256));
    }
    hux_handle_t h_ = HUX_INVALID_HANDLE;
};

TEST_F(AdapterNames, SetGetResetAndResetAll) {
    // Without a serial key the record names loopback's MAC, six zero octets.
    NameRecord by_mac{}, by_serial{};
    char serial[32] = {};
    ASSERT_EQ(hux_get_serial_from_board(0, serial), 0);
    std::snprintf(reinterpret_cast<char *>(by_serial.key), 32, "S=%s", serial);
    EXPECT_EQ(get(by_mac), "code 2");
    ASSERT_EQ(set(by_mac, "cam-left"), 0);
    ASSERT_EQ(set(by_serial, "line two"), 0);
    EXPECT_EQ(get(by_mac), "cam-left");
    ASSERT_EQ(command(h_, TREL_RESET_NAME, by_mac), 0);
    EXPECT_EQ(get(by_mac), "code 2");
    EXPECT_EQ(get(by_serial), "line two");
    ASSERT_EQ(hux_ioctl(h_, TREL_RESET_ALL_NAMES, nullptr, 0), 0);
    EXPECT_EQ(get(by_serial), "code 2");
}

}  // namespace
}  // namespace qel::test
