// Tests that need a telemetry add-on run in a child process of their own: the add-on is
// looked up once, by name, through the library search path that the process started with.
// A test runs its own body in the child and checks the child's result in the parent:
//
//   TEST(Loader, Something) {
//       if (!in_child()) {
//           ChildResult child = run_in_child(addon_dir("complete"), {{"QEL_DEBUG", "1"}});
//           EXPECT_EQ(child.exit_code, 0) << child.output();
//           return;
//       }
//       ... the body, with the add-on loaded by qel_init ...
//   }
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qel::test {

struct ChildResult {
    int exit_code = -1;  // the child's exit status; -1 when it did not exit
    std::string out;     // its standard output
    std::string err;     // its standard error
    std::string output() const { return "--- stdout\n" + out + "--- stderr\n" + err; }
};

// True in the child process that run_in_child started.
bool in_child();
// In the child: sets the switches QEL_VERBOSE and QEL_DEBUG again when run_in_child was asked
// for them, after a fixture cleared them.
void set_child_switches();

// Runs the current test again in a child process whose library search path is `library_dir`
// alone, with the extra environment variables `env`; waits for it.
ChildResult run_in_child(const std::string &library_dir,
                         const std::vector<std::pair<std::string, std::string>> &env = {});

// The folder of one of the test add-ons ("complete", "no_end_span", "refusing", or "none",
// which holds no add-on), and the folder of the project's own add-on.
std::string addon_dir(const std::string &name);
std::string project_addon_dir();

}  // namespace qel::test
