#pragma once

namespace pylox {

// Sets the path prefix to the current directory (library start-up).
void path_set_default();

} // namespace pylox
