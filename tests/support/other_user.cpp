#include "support/other_user.h"

#include <grp.h>

#include <fstream>
#include <sstream>

namespace qel::test {

void give_to_other_user(const std::string &path) {
    ASSERT_EQ(lchown(path.c_str(), kOtherUid, kOtherGid), 0) << path;
}

bool become_other_user() {
    return setgroups(0, nullptr) == 0 && setresgid(kOtherGid, kOtherGid, kOtherGid) == 0 &&
           setresuid(kOtherUid, kOtherUid, kOtherUid) == 0;
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace qel::test
