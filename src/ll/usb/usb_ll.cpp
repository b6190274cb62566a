// Placeholder back end: finds no device and opens nothing until the real
// back end lands.
#include <pylox/pylox_ll.h>

namespace {

int usb_ll_init() { return 1; }
void usb_ll_uninit() {}
void usb_ll_set_debug(int) {}
pylox_ll_dev_t *usb_ll_dev_open(pylox_ll_dev_t *) { return nullptr; }
pylox_ll_dev_t *usb_ll_dev_open_by_fd(pylox_ll_dev_t *, int) { return nullptr; }
void usb_ll_dev_close(pylox_ll_dev_t *) {}
int usb_ll_dev_list(pylox_ll_dev_t *, int) { return 0; }
int usb_ll_exe_cmd(pylox_ll_dev_t *, uint8_t, uint8_t, uint16_t, void *, int, int) { return 0; }
int usb_ll_tx_data(pylox_ll_dev_t *, const void *, int) { return -1; }
void usb_ll_cap_abort(pylox_ll_dev_t *) {}
int usb_ll_cap_start(pylox_ll_dev_t *, uint32_t, pylox_ll_cap_cb_t, void *) { return 0; }
int usb_ll_cap_stop(pylox_ll_dev_t *) { return 0; }
int usb_ll_dev_reset(pylox_ll_dev_t *, uint8_t) { return 0; }
int usb_ll_reg_write(pylox_ll_dev_t *, uint8_t, uint32_t, const uint32_t *, uint16_t) { return 0; }
int usb_ll_reg_read(pylox_ll_dev_t *, uint8_t, uint32_t, uint32_t *, uint16_t) { return 0; }
int usb_ll_param_set(pylox_ll_dev_t *, pylox_ll_param_t *, int) { return 0; }
int usb_ll_param_get(pylox_ll_dev_t *, pylox_ll_param_t *, int) { return 0; }

} // namespace

extern "C" PYLOX_API const pylox_ll_op_t ll_op_usb = {
    usb_ll_init,      usb_ll_uninit,    usb_ll_set_debug, usb_ll_dev_open,
    usb_ll_dev_open_by_fd, usb_ll_dev_close, usb_ll_dev_list, usb_ll_exe_cmd,
    usb_ll_tx_data,   usb_ll_cap_abort, usb_ll_cap_start, usb_ll_cap_stop,
    usb_ll_dev_reset, usb_ll_reg_write, usb_ll_reg_read,  usb_ll_param_set,
    usb_ll_param_get,
};
