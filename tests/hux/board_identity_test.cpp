// Board identity translations against the scripted adapter: only product 4's boards open.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "hux.h"
#include "qel.h"
#include "support/scripted_adapter.h"

namespace qel::test {
namespace {

using namespace qel::driver;

struct Place {
    int rc;
    uint8_t product = 0xEE;
    uint32_t index = 0xEEEE;
    bool operator==(const Place &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Place &p) {
    return os << "{rc " << p.rc << ", product " << int{p.product} << ", index " << p.index << "}";
}

Place translate(const char *text) {
    Place p{0};
    p.rc = hux_translate_to_product(text, &p.product, &p.index);
    return p;
}
Place from_boardnum(uint32_t boardnum) {
    Place p{0};
    p.rc = hux_boardnum_to_product(boardnum, &p.product, &p.index);
    return p;
}
Place from_mac(const char *text) {
    Place p{0};
    p.rc = hux_mac_to_product(text, &p.product, &p.index);
    return p;
}

const Place kNothing{QEL_EINVAL};  // 22, nothing stored

// Two boards of product 4 with NIC ids that share their last two octets.
class BoardIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        adapter_.add_board(0, BoardSpec{.nic_id = 0x0A1B2C3D4E5F});
        adapter_.add_board(1, BoardSpec{.nic_id = 0x0200000A4E5F});
    }
    ScriptedAdapter adapter_;
};

struct TextCase {
    const char *name;
    const char *text;
    Place place;
};
void PrintTo(const TextCase &c, std::ostream *os) {
    *os << c.name;
}

class TranslateText : public BoardIdentity, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TranslateText, NamesTheBoard) {
    EXPECT_EQ(translate(GetParam().text), GetParam().place);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TranslateText,
    ::testing::Values(TextCase{"Null", nullptr, Place{0, 4, 0}},
                      TextCase{"Empty", "", Place{0, 4, 0}}, TextCase{"Zero", "0", Place{0, 4, 0}},
                      TextCase{"One", "1", Place{0, 4, 1}},
                      TextCase{"SignAndBlanks", "  +1", Place{0, 4, 1}},
                      TextCase{"OneX", "1x", kNothing}, TextCase{"PastTheLast", "2", kNothing},
                      TextCase{"Negative", "-1", kNothing},
                      TextCase{"Beyond32Bits", "4294967296", kNothing},
                      TextCase{"WholeNicId", "02:00:00:0a:4e:5f", Place{0, 4, 1}},
                      TextCase{"SharedEndGoesToTheFirst", "4e:5f", Place{0, 4, 0}},
                      TextCase{"EndOfTheSecond", "0a:4e:5f", Place{0, 4, 1}},
                      TextCase{"UpperCaseNeverMatches", "4E:5F", kNothing},
                      TextCase{"NoSuchEnd", "4e:60", kNothing}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BoardIdentity, MacTextsOfWrongLengthOpenNothing) {
    adapter_.clear_commands();
    EXPECT_EQ(from_mac("5:"), kNothing);                  // 2 characters
    EXPECT_EQ(from_mac("x0a:1b:2c:3d:4e:5f"), kNothing);  // 18 characters
    EXPECT_EQ(translate("x0a:1b:2c:3d:4e:5f"), kNothing);
    EXPECT_EQ(from_mac(nullptr), kNothing);
    EXPECT_TRUE(adapter_.open_attempts().empty());
    EXPECT_EQ(from_mac("0a:1b:2c:3d:4e:5f"), (Place{0, 4, 0}));  // 17: the longest
    EXPECT_EQ(from_mac("e:5"), kNothing);                        // 3: the shortest
    EXPECT_EQ(adapter_.open_handles(), 0u);
}

TEST_F(BoardIdentity, ProductToBoardnumCountsTheBoardsThatOpenBelowTheIndex) {
    uint32_t boardnum = 0xEEEE;
    EXPECT_EQ(hux_product_to_boardnum(4, 0, &boardnum), 0);
    EXPECT_EQ(boardnum, 0u);
    EXPECT_EQ(hux_product_to_boardnum(4, 1, &boardnum), 0);
    EXPECT_EQ(boardnum, 1u);
    EXPECT_EQ(hux_product_to_boardnum(4, 2, &boardnum), 0);  // the slot maximum itself
    EXPECT_EQ(boardnum, 2u);
    boardnum = 0xEEEE;
    EXPECT_EQ(hux_product_to_boardnum(4, 3, &boardnum), QEL_EINVAL);  // above the maximum
    EXPECT_EQ(hux_product_to_boardnum(4, -1, &boardnum), QEL_EINVAL);
    EXPECT_EQ(hux_product_to_boardnum(4, 0, nullptr), QEL_EINVAL);
    EXPECT_EQ(boardnum, 0xEEEEu);
    EXPECT_EQ(adapter_.open_handles(), 0u);
}

TEST_F(BoardIdentity, AnotherProductCodeReturnsTheFailureToOpenIt) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    const int open_failure = hux_open_any_board(&h, 3);
    ASSERT_NE(open_failure, 0);
    uint32_t boardnum = 0xEEEE;
    EXPECT_EQ(hux_product_to_boardnum(3, 0, &boardnum), open_failure);
    EXPECT_EQ(boardnum, 0xEEEEu);
}

TEST_F(BoardIdentity, BoardsThatDoNotOpenTakeNoNumber) {
    // Board 0 is present but refuses to open: board 1 is the first global number.
    adapter_.add_board(2, BoardSpec{.nic_id = 0x020000000002});
    adapter_.refuse_open_with_code(control_name(0), QEL_EBUSY);
    adapter_.refuse_open_with_code(legacy_control_name(0), QEL_EBUSY);
    EXPECT_EQ(from_boardnum(0), (Place{0, 4, 1}));
    EXPECT_EQ(from_boardnum(1), (Place{0, 4, 2}));
    EXPECT_EQ(from_boardnum(2), kNothing);
    // And back again.
    for (uint32_t index : {1u, 2u}) {
        uint32_t boardnum = 0xEEEE;
        ASSERT_EQ(hux_product_to_boardnum(4, static_cast<int32_t>(index), &boardnum), 0);
        EXPECT_EQ(from_boardnum(boardnum), (Place{0, 4, index}));
    }
    EXPECT_EQ(adapter_.open_handles(), 0u);
}

TEST_F(BoardIdentity, NullOutputsAreRefused) {
    uint8_t product = 0;
    uint32_t index = 0;
    EXPECT_EQ(hux_boardnum_to_product(0, nullptr, &index), QEL_EINVAL);
    EXPECT_EQ(hux_boardnum_to_product(0, &product, nullptr), QEL_EINVAL);
    EXPECT_EQ(hux_mac_to_product("4e:5f", nullptr, &index), QEL_EINVAL);
    EXPECT_EQ(hux_translate_to_product("0", &product, nullptr), QEL_EINVAL);
}

}  // namespace
}  // namespace qel::test
