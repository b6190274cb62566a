// Placeholder back end: finds no device and opens nothing until the real
// back end lands.
#include <pylox/pylox_ll.h>

namespace {

int file_ll_init() { return 1; }
void file_ll_uninit() {}
void file_ll_set_debug(int) {}
pylox_ll_dev_t *file_ll_dev_open(pylox_ll_dev_t *) { return nullptr; }
pylox_ll_dev_t *file_ll_dev_open_by_fd(pylox_ll_dev_t *, int) { return nullptr; }
void file_ll_dev_close(pylox_ll_dev_t *) {}
int file_ll_dev_list(pylox_ll_dev_t *, int) { return 0; }
int file_ll_exe_cmd(pylox_ll_dev_t *, uint8_t, uint8_t, uint16_t, void *, int, int) { return 0; }
int file_ll_tx_data(pylox_ll_dev_t *, const void *, int) { return -1; }
void file_ll_cap_abort(pylox_ll_dev_t *) {}
int file_ll_cap_start(pylox_ll_dev_t *, uint32_t, pylox_ll_cap_cb_t, void *) { return 0; }
int file_ll_cap_stop(pylox_ll_dev_t *) { return 0; }
int file_ll_dev_reset(pylox_ll_dev_t *, uint8_t) { return 0; }
int file_ll_reg_write(pylox_ll_dev_t *, uint8_t, uint32_t, const uint32_t *, uint16_t) { return 0; }
int file_ll_reg_read(pylox_ll_dev_t *, uint8_t, uint32_t, uint32_t *, uint16_t) { return 0; }
int file_ll_param_set(pylox_ll_dev_t *, pylox_ll_param_t *, int) { return 0; }
int file_ll_param_get(pylox_ll_dev_t *, pylox_ll_param_t *, int) { return 0; }

} // namespace

extern "C" PYLOX_API const pylox_ll_op_t ll_op_fil = {
    file_ll_init,      file_ll_uninit,    file_ll_set_debug, file_ll_dev_open,
    file_ll_dev_open_by_fd, file_ll_dev_close, file_ll_dev_list, file_ll_exe_cmd,
    file_ll_tx_data,   file_ll_cap_abort, file_ll_cap_start, file_ll_cap_stop,
    file_ll_dev_reset, file_ll_reg_write, file_ll_reg_read,  file_ll_param_set,
    file_ll_param_get,
};
