// Names of the capture status codes.
#include <pylox/pylox_types.h>

namespace {

// Indexed by code + 10.
const char *const k_names[14] = {
    "PYLOX_ERR_CAP_UNKNOWN", "**UNKNOWN**", "PYLOX_ERR_CAP_ERROR", "**UNKNOWN**",
    "PYLOX_ERR_CAP_STALL",   "**UNKNOWN**", "PYLOX_ERR_CAP_TIMEOUT", "**UNKNOWN**",
    "**UNKNOWN**",           "**UNKNOWN**", "OK",                    "**UNKNOWN**",
    "**UNKNOWN**",           "PYLOX_ERR_CAP_FRAME_DISCARD",
};

} // namespace

extern "C" PYLOX_API const char *pylox_error_name(int err)
{
    if (err < -10 || err > 3)
        return "**UNKNOWN**";
    return k_names[err + 10];
}
