// Loader of the optional telemetry add-on: finds the module (beside the library, else in the
// system's library path), resolves its ten entry points and registers the library's
// statistics reader with it.
#include <dlfcn.h>
#include <link.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/log.h"
#include "telemetry/addon.h"

namespace qel::telemetry {

uint32_t qel_telemetry_available = 0;
void *qel_metrics_handle = nullptr;
void *qel_trace_handle = nullptr;
Addon addon{};

std::mutex &export_mutex() {
    static std::mutex mutex;
    return mutex;
}

namespace {

constexpr const char *kTag = "qel_load_telemetry_addon";
constexpr const char *kModuleName = "libqeltelemetry.so";

// Resolves one symbol into its slot; false when the module lacks it.
template <typename Fn>
bool resolve(void *module, const char *name, Fn &slot) {
    void *address = dlsym(module, name);
    slot = reinterpret_cast<Fn>(address);
    if (address != nullptr) return true;
    QEL_VERBOSE_TAGGED(kTag, "Unable to find symbol %s", name);
    return false;
}

// The add-on beside the library: the folder of the file the library was loaded from. Only an
// absolute name says where that is; a library linked into the program itself has none of its
// own (and the program's name is whatever its caller chose), so it has no such folder.
void *open_beside_library() {
    Dl_info info{};
    link_map *library = nullptr;
    if (dladdr1(reinterpret_cast<void *>(&qel_load_telemetry_addon), &info,
                reinterpret_cast<void **>(&library), RTLD_DL_LINKMAP) == 0 ||
        library == nullptr || library->l_name == nullptr || library->l_name[0] != '/') {
        return nullptr;
    }
    std::string path = library->l_name;
    path.replace(path.rfind('/') + 1, std::string::npos, kModuleName);
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

int qel_load_telemetry_addon() {
    // The add-on beside the library first, so that a library finds its own; otherwise the
    // host's loader looks for the name in the system's library path (no run path of ours holds
    // an empty element, which it would take for the current folder). The module is never
    // closed: the add-on stays loaded for the life of the process.
    errno = 0;
    void *module = open_beside_library();
    if (module == nullptr) module = dlopen(kModuleName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        if (core::debug()) {
            std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(errno));
        }
        return -1;
    }

    // Every symbol is tried, also after a miss.
    int result = 0;
    Addon &a = addon;
    if (!resolve(module, "qel_telemetry_export_metrics", a.export_metrics)) result = -1;
    if (!resolve(module, "qel_telemetry_init_metrics", a.init_metrics)) result = -1;
    if (!resolve(module, "qel_telemetry_init_trace", a.init_trace)) result = -1;
    if (!resolve(module, "qel_telemetry_export_traces", a.export_traces)) result = -1;
    if (!resolve(module, "qel_telemetry_start_trace_span", a.start_span)) result = -1;
    if (!resolve(module, "qel_telemetry_end_trace_span", a.end_span)) result = -1;
    if (!resolve(module, "qel_telemetry_trace_span_add_event", a.add_event)) result = -1;
    if (!resolve(module, "qel_adapter_data_fetch", a.adapter_data_fetch)) {
        result = -1;
        std::fputs("AHHHH\n", stdout);
        std::fflush(stdout);
    }
    if (!resolve(module, "qel_stream_data_fetch", a.stream_data_fetch)) result = -1;
    if (!resolve(module, "qel_telemetry_register_get_stats", a.register_get_stats)) result = -1;

    // The add-on reads streams while their metrics context is enabled, which qel_get_stats
    // refuses to the application: it gets a reader of the same signature without the refusal.
    if (a.register_get_stats != nullptr && a.register_get_stats(&qel_telemetry_get_stats) == 0) {
        result = 1;
        QEL_VERBOSE_TAGGED(kTag, "Unable to register qel_get_stats");
    }
    if (result == 0) qel_telemetry_available = 1;
    return result;
}

}  // namespace qel::telemetry
