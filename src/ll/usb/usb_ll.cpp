// The USB camera back end's operation table. The slots live in usb_dev.cpp
// (listing, open, close, reset), usb_cmd.cpp (commands) and usb_cap.cpp
// (bulk capture).
#include "ll/usb/usb_priv.h"

extern "C" PYLOX_API const pylox_ll_op_t ll_op_usb = {
    usbll::usb_ll_init,      usbll::usb_ll_uninit,         usbll::usb_ll_set_debug,
    usbll::usb_ll_dev_open,  usbll::usb_ll_dev_open_by_fd, usbll::usb_ll_dev_close,
    usbll::usb_ll_dev_list,  usbll::usb_ll_exe_cmd_slot,   usbll::usb_ll_tx_data,
    usbll::usb_ll_cap_abort, usbll::usb_ll_cap_start,      usbll::usb_ll_cap_stop,
    usbll::usb_ll_dev_reset, usbll::usb_ll_reg_write,      usbll::usb_ll_reg_read,
    usbll::usb_ll_param_set, usbll::usb_ll_param_get,
};
