// qel-adapter: lists the adapter boards (interface addresses, NIC ids, link state, endpoints in
// use, serial numbers and names) and sets, reads and resets the names the driver keeps for
// them. --json gives the same for scripts.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "adapter_tool/command_line.h"
#include "adapter_tool/render.h"
#include "common/json_output.h"
#include "qel.h"

namespace {

using namespace qel::adapter_tool;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxNameChars = 255;

int fail(int status, const std::string &message) {
    std::fprintf(stderr, "qel-adapter: %s\n", message.c_str());
    return status;
}

// The message and exit status for a name operation's result other than 0.
int name_failure(const char *operation, const std::string &key, int rc) {
    switch (rc) {
        case QEL_EINVAL:
            return fail(kExitUsage, "invalid key '" + key +
                                        "': expected M= and a MAC address (M=02:1a:2b:3c:4d:5e) "
                                        "or S= and a serial number of at most 24 characters");
        case QEL_ENODEV:
            return fail(kExitFailed, "no board has the key '" + key + "'");
        case QEL_ENOENT:
            return fail(kExitFailed, "no name stored for '" + key + "'");
        case QEL_EACCES:
            // The adapter has said on standard error which folder or file, and why.
            return fail(kExitFailed, std::string(operation) +
                                         " failed: the adapter cannot use the place where it "
                                         "keeps names: " +
                                         qel_strerror(rc) + " (" + std::to_string(rc) + ")");
        default:
            return fail(kExitFailed, std::string(operation) + " failed: " + qel_strerror(rc) +
                                         " (" + std::to_string(rc) + ")");
    }
}

int list(bool json) {
    BoardList boards = collect_boards();
    if (boards.status != 0) {
        return fail(kExitFailed, boards.failure + ": " + qel_strerror(boards.status) + " (" +
                                     std::to_string(boards.status) + ")");
    }
    std::fputs((json ? render_json(boards) : render_text(boards)).c_str(), stdout);
    return 0;
}

int get_name(const std::string &key, bool json) {
    char *text = nullptr;
    int rc = qel_get_name(key.c_str(), &text);
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    if (rc == QEL_ENOENT && json) {
        std::fputs(qel::tools::json_text({{"key", key}, {"name", nullptr}}).c_str(), stdout);
        return 0;
    }
    if (rc != 0) return name_failure("get-name", key, rc);
    const std::string name(text);
    if (json) {
        std::fputs(qel::tools::json_text({{"key", key}, {"name", name}}).c_str(), stdout);
    } else {
        std::printf("%s\n", printable_name(name).c_str());
    }
    return 0;
}

int set_name(const std::string &key, const std::string &name) {
    if (name.size() > kMaxNameChars) {
        return fail(kExitUsage, "the name has " + std::to_string(name.size()) +
                                    " characters; at most 255 are kept");
    }
    int rc = qel_set_name(key.c_str(), name.c_str());
    return rc == 0 ? 0 : name_failure("set-name", key, rc);
}

int reset_name(const std::string &key) {
    int rc = qel_reset_name(key.c_str());
    return rc == 0 ? 0 : name_failure("reset-name", key, rc);
}

int reset_all_names() {
    int rc = qel_reset_all_name();
    return rc == 0 ? 0 : name_failure("reset-all-names", "", rc);
}

}  // namespace

int main(int argc, char **argv) {
    const CommandLine line = parse_command_line(argc, argv);
    if (const int status =
            qel::tools::answer_command_line("qel-adapter", usage_text(), line.ask, line.error);
        status >= 0) {
        return status;
    }
    switch (line.action) {
        case Action::kList:
            return list(line.json);
        case Action::kGetName:
            return get_name(line.key, line.json);
        case Action::kSetName:
            return set_name(line.key, line.name);
        case Action::kResetName:
            return reset_name(line.key);
        case Action::kResetAllNames:
            return reset_all_names();
    }
    return kExitUsage;
}
