// The library's result codes: one table gives each its name and its text.
#include <cstring>

#include "qel.h"

namespace {

struct ResultEntry {
    int code;
    const char *name;
    const char *text;
};

constexpr ResultEntry kResults[] = {
    {QEL_OK, "QEL_OK", "success"},
    {QEL_ENOENT, "QEL_ENOENT", "no such entry"},
    {QEL_EORDER, "QEL_EORDER", "block dropped for its order"},
    {QEL_ENXIO, "QEL_ENXIO", "driver API mismatch or no such device or address"},
    {QEL_EAGAIN, "QEL_EAGAIN", "nothing yet"},
    {QEL_ENOMEM, "QEL_ENOMEM", "out of memory, or block too large for its buffer"},
    {QEL_EACCES, "QEL_EACCES", "access refused"},
    {QEL_EBUSY, "QEL_EBUSY", "device or endpoint busy"},
    {QEL_ENODEV, "QEL_ENODEV", "no such device"},
    {QEL_EINVAL, "QEL_EINVAL", "invalid argument or state"},
    {QEL_ENOSYS, "QEL_ENOSYS", "not implemented"},
    {QEL_ENOADDR, "QEL_ENOADDR", "no adapter interface has the address"},
    {QEL_ENOBUFS, "QEL_ENOBUFS", "no buffer queued"},
    {QEL_EPROTO, "QEL_EPROTO", "firmware status out of step with the stream"},
    {QEL_ENOBUFINVOLVED, "QEL_ENOBUFINVOLVED", "status without a buffer"},
    {QEL_ETIMEDOUT, "QEL_ETIMEDOUT", "timed out"},
};

}  // namespace

extern "C" QEL_EXPORT const char *qel_strerror(int code) {
    for (const auto &entry : kResults) {
        if (entry.code == code) return entry.text;
    }
    // Codes the sockets layer passes through are the host's own.
    return std::strerror(code);
}

namespace qel::core {

const char *result_name(int code) {
    for (const auto &entry : kResults) {
        if (entry.code == code) return entry.name;
    }
    return nullptr;
}

}  // namespace qel::core
