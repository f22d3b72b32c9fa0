// Where the add-on writes: never through a link, into another user's file, or into a folder
// another user controls; otherwise its files are written as asked.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "addon/files.h"
#include "support/adapter_env.h"
#include "support/other_user.h"

namespace qel::test {
namespace {

constexpr const char *kPrecious = "the victim's own text\n";

class AddonFiles : public ::testing::Test {
public:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", runtime().c_str(), 1);
        unsetenv("QEL_TELEMETRY_METRICS_FILE");
        unsetenv("QEL_TELEMETRY_TRACE_FILE");
        ASSERT_EQ(mkdir(runtime().c_str(), 0700), 0);
        write_text(victim(), kPrecious);
    }
    std::string runtime() const { return dir_.path() + "/runtime"; }
    std::string folder() const { return runtime() + "/qel"; }
    std::string victim() const { return dir_.path() + "/victim"; }
    static std::string traces() {
        return addon::output_path("QEL_TELEMETRY_TRACE_FILE", "t.jsonl");
    }
    static std::string metrics() {
        return addon::output_path("QEL_TELEMETRY_METRICS_FILE", "m.prom");
    }

    TempDir dir_;
};

TEST_F(AddonFiles, WritesItsOwnFilesInAPrivateFolder) {
    EXPECT_EQ(traces(), folder() + "/t.jsonl");
    EXPECT_TRUE(addon::append_file(traces(), "one\n"));
    EXPECT_TRUE(addon::append_file(traces(), "two\n"));
    EXPECT_TRUE(addon::replace_file(metrics(), "old\n"));
    EXPECT_TRUE(addon::replace_file(metrics(), "new\n"));
    EXPECT_EQ(read_text(traces()), "one\ntwo\n");
    EXPECT_EQ(read_text(metrics()), "new\n");
    struct stat facts {};
    ASSERT_EQ(stat(folder().c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0700u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder()), {}), 2)
        << "no temporary file is left";
}

// What another user prepared before the add-on first wrote, and what must hold after it
// tried to write both of its files.
struct Planted {
    const char *name;
    std::function<void(const AddonFiles &)> plant;
    bool metrics_written;
    bool traces_written;
};

void PrintTo(const Planted &planted, std::ostream *out) {
    *out << planted.name;
}

class PlantedByAnotherUser : public AddonFiles, public ::testing::WithParamInterface<Planted> {};

TEST_P(PlantedByAnotherUser, NothingOfTheirsIsWrittenOrFollowed) {
    QEL_NEED_ROOT();
    GetParam().plant(*this);
    const std::string theirs_before = read_text(dir_.path() + "/theirs/x");
    EXPECT_EQ(addon::replace_file(metrics(), "metrics\n"), GetParam().metrics_written);
    EXPECT_EQ(addon::append_file(traces(), "span\n"), GetParam().traces_written);
    EXPECT_EQ(read_text(victim()), kPrecious) << "written through a link";
    EXPECT_EQ(read_text(dir_.path() + "/theirs/x"), theirs_before) << "their file written";
    if (GetParam().metrics_written) {
        EXPECT_EQ(read_text(metrics()), "metrics\n");
    }
}

void make_theirs(const std::string &path, mode_t mode) {
    ASSERT_EQ(mkdir(path.c_str(), mode), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    give_to_other_user(path);
}

void link_to(const std::string &target, const std::string &link) {
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    AddonFiles, PlantedByAnotherUser,
    ::testing::Values(Planted{"DefaultFolderMadeFirst",
                              [](const AddonFiles &t) { make_theirs(t.folder(), 0777); }, false,
                              false},
                      Planted{"LinksInPlaceOfBothFiles",
                              [](const AddonFiles &t) {
                                  ASSERT_EQ(mkdir(t.folder().c_str(), 0700), 0);
                                  link_to(t.victim(), t.folder() + "/t.jsonl");
                                  link_to(t.victim(), t.folder() + "/m.prom");
                              },
                              // A link in the metrics file's place is replaced, not followed.
                              true, false},
                      Planted{"LinkInPlaceOfTheTemporaryFile",
                              [](const AddonFiles &t) {
                                  ASSERT_EQ(mkdir(t.folder().c_str(), 0700), 0);
                                  link_to(t.victim(),
                                          t.folder() + "/m.prom.tmp." + std::to_string(getpid()));
                              },
                              true, true},
                      Planted{"FilesOfAnotherOwner",
                              [](const AddonFiles &t) {
                                  ASSERT_EQ(mkdir(t.folder().c_str(), 0700), 0);
                                  for (const char *name : {"/t.jsonl", "/m.prom"}) {
                                      write_text(t.folder() + name, "theirs\n");
                                      give_to_other_user(t.folder() + name);
                                  }
                              },
                              false, false},
                      Planted{"NamedFilesInTheirFolder",
                              [](const AddonFiles &t) {
                                  const std::string theirs = t.dir_.path() + "/theirs";
                                  make_theirs(theirs, 0755);
                                  write_text(theirs + "/x", "theirs\n");
                                  setenv("QEL_TELEMETRY_METRICS_FILE", (theirs + "/x").c_str(), 1);
                                  setenv("QEL_TELEMETRY_TRACE_FILE", (theirs + "/y").c_str(), 1);
                              },
                              false, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
