// The names file reader as a pure function: whole files are read back exactly; anything else,
// whatever its bytes, is refused with a reason and never crashes the reader.
#include <gtest/gtest.h>

#include <random>

#include "adapter/names_file.h"

namespace qel::adapter {
namespace {

NamesParse parse(const std::string &text) {
    return parse_names_file(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

const std::vector<NameEntry> kEntries = {
    {"M=021A2B3C4D5E", "cam-left"},
    {"S=QSA000000000000-1", "line\nwith spaces and \xff bytes"},
    {"M=000000000000", ""},
};

TEST(NamesFile, WrittenEntriesAreReadBackExactly) {
    const std::string text = format_names_file(kEntries);
    NamesParse back = parse(text);
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_EQ(back.entries, kEntries);
    NamesParse empty = parse(format_names_file({}));
    ASSERT_TRUE(empty.ok) << empty.error;
    EXPECT_TRUE(empty.entries.empty());
}

struct Damaged {
    const char *what;
    std::string text;
    const char *reason;  // part of the error text
};

class NamesFileDamaged : public ::testing::TestWithParam<Damaged> {};

TEST_P(NamesFileDamaged, IsRefusedWithAReason) {
    NamesParse result = parse(GetParam().text);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(GetParam().reason), std::string::npos) << result.error;
}

const std::string kHeader = "qel adapter names 1\n";
const std::string kLine = "4d3d303231413242334334443545 63616d\n";  // M=021A2B3C4D5E cam

INSTANTIATE_TEST_SUITE_P(
    Files, NamesFileDamaged,
    ::testing::Values(
        Damaged{"empty", "", "empty"},
        Damaged{"other_file", "hello\n", "not a qel adapter names file"},
        Damaged{"no_end_line", kHeader + kLine, "no end line"},
        Damaged{"cut_mid_line", kHeader + kLine.substr(0, 10), "cut short"},
        Damaged{"end_without_newline", kHeader + kLine + "end 1", "cut short"},
        Damaged{"count_too_high", kHeader + kLine + "end 2\n", "counts 2"},
        Damaged{"count_not_a_number", kHeader + kLine + "end x\n", "without a count"},
        Damaged{"text_after_end", kHeader + kLine + "end 1\n" + kLine, "after the end"},
        Damaged{"odd_hex", kHeader + "4d3 63\nend 1\n", "not hexadecimal"},
        Damaged{"not_hex", kHeader + "4d3d zz\nend 1\n", "not hexadecimal"},
        Damaged{"three_fields", kHeader + "4d3d 63 63\nend 1\n", "not a key and a name"},
        Damaged{"one_field", kHeader + "4d3d\nend 1\n", "not a key and a name"},
        Damaged{"lower_case_mac_key", kHeader + "4d3d303231613262336334643565 63\nend 1\n",
                "not an adapter key"},
        Damaged{"name_with_nul", kHeader + "4d3d303231413242334334443545 6300\nend 1\n",
                "not an adapter name"},
        Damaged{"name_too_long",
                kHeader + "4d3d303231413242334334443545 " + std::string(512, '6') + "\nend 1\n",
                "not an adapter name"},
        Damaged{"key_twice", kHeader + kLine + kLine + "end 2\n", "named twice"},
        Damaged{"too_large", std::string(kMaxNamesFileBytes + 1, '\n'), "larger"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(NamesFile, KeysAndNames) {
    EXPECT_TRUE(valid_name_key("M=021A2B3C4D5E"));
    EXPECT_FALSE(valid_name_key("M=021a2b3c4d5e"));
    EXPECT_FALSE(valid_name_key("M=021A2B3C4D5"));
    EXPECT_TRUE(valid_name_key("S=" + std::string(24, 'A')));
    EXPECT_FALSE(valid_name_key("S=" + std::string(25, 'A')));
    EXPECT_FALSE(valid_name_key("S="));
    EXPECT_FALSE(valid_name_key(std::string("S=A\0B", 5)));
    EXPECT_FALSE(valid_name_key("X=1"));
    EXPECT_TRUE(valid_stored_name(std::string(255, 'n')));
    EXPECT_FALSE(valid_stored_name(std::string(256, 'n')));
}

TEST(NamesFile, EveryCutAndEveryFlippedByteOfAWholeFileIsRefusedOrReadSafely) {
    const std::string whole = format_names_file(kEntries);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_FALSE(parse(whole.substr(0, cut)).ok) << "cut at " << cut;
    }
    std::mt19937 random(1234);
    for (int round = 0; round < 2000; ++round) {
        std::string damaged = whole;
        damaged[random() % damaged.size()] = static_cast<char>(random());
        NamesParse result = parse(damaged);
        if (result.ok) {
            // Whatever was read is still a set of valid entries.
            for (const NameEntry &entry : result.entries) {
                EXPECT_TRUE(valid_name_key(entry.key));
                EXPECT_TRUE(valid_stored_name(entry.name));
            }
        } else {
            EXPECT_FALSE(result.error.empty());
        }
    }
}

}  // namespace
}  // namespace qel::adapter
