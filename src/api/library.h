#pragma once

#include <pylox/tq_cmap.h>

namespace pylox {

// The colour map built by pylox_init (30000 entries).
tq_cmap_t *global_cmap();

} // namespace pylox
