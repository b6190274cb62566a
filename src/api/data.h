// Data-image and firmware transfer: internal pieces reachable by the tests.
#pragma once

#include <pylox/pylox_data.h>

#include <atomic>

namespace pylox::data {

// How long a download waits for the camera's erase (acknowledgements that
// still report status 4) before it gives up; 50 s, the acknowledgement's own
// transfer timeout. Tests shorten it.
inline constexpr int k_erase_limit_ms = 50000;
extern std::atomic<int> erase_limit_ms;

} // namespace pylox::data

// The action sender: action 1 sends the 12-byte INFO record, 4 a 13-byte
// record (timeout 1000 ms), 7 the 13-byte ERASE record; 1 when the exchange
// succeeded, -1 otherwise (and for any other action).
int al_data_send_action_info(pylox_ll_dev_t *dev, int action, const void *record);
