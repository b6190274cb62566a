// Names of the capture status codes.
#include <pylox/pylox_types.h>

namespace {

// Indexed by code + 10.
const char *const k_names[14] = {
    "PYLOX_ERR_CAP_UNKNOWN",       // -10
    "**UNKNOWN**",                 // -9
    "PYLOX_ERR_CAP_ERROR",         // -8
    "PYLOX_ERR_CAP_STALL",         // -7
    "**UNKNOWN**",                 // -6
    "PYLOX_ERR_CAP_TIMEOUT",       // -5
    "**UNKNOWN**",                 // -4
    "**UNKNOWN**",                 // -3
    "**UNKNOWN**",                 // -2
    "**UNKNOWN**",                 // -1
    "OK",                          // 0
    "**UNKNOWN**",                 // 1
    "**UNKNOWN**",                 // 2
    "PYLOX_ERR_CAP_FRAME_DISCARD", // 3
};

} // namespace

extern "C" PYLOX_API const char *pylox_error_name(int err)
{
    if (err < -10 || err > 3)
        return "**UNKNOWN**";
    return k_names[err + 10];
}
