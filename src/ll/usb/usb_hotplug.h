// Cameras arriving on and leaving the bus, watched by a thread of the USB
// back end.
#pragma once

#include <pylox/pylox_ll.h>

namespace usbll {

// Starts watching (cb non-null) or stops (cb null); see pylox_ll_hotplug_register.
int hotplug_register(pylox_ll_hotplug_cb_t cb, void *user);
// Stops the watcher and waits for it (not from inside the callback).
void hotplug_stop();
// 1 when libusb's own hot-plug events drive the watcher, 0 when it polls.
int hotplug_native();
// Makes the next watchers poll the bus even where libusb has hot-plug events
// (the path of platforms without them); for tests of that path.
void hotplug_force_polling(bool on);

} // namespace usbll
