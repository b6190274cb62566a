/* Process-wide logger and the library path prefix. */
#ifndef PYLOX_TQ_LOG_H
#define PYLOX_TQ_LOG_H

#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

/* Severity levels; a threshold of TQ_LOG_NONE lets no message through. */
enum {
    TQ_LOG_TRC = 0,
    TQ_LOG_DBG = 1,
    TQ_LOG_INF = 2,
    TQ_LOG_WRN = 3,
    TQ_LOG_ERR = 4,
    TQ_LOG_NONE = 5
};

/* Sink indices: 0 console, 1 log file, 2 spare slot without a sink. */
PYLOX_API int tq_log_enable(int index, int level, const char *path);
PYLOX_API int tq_log_disable(void);
PYLOX_API void tq_log(int level, const char *tag, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
PYLOX_API void tq_log_raw(int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Console and file thresholds; the third value goes to the USB back end. */
PYLOX_API int pylox_log_cfg(int console_level, int file_level, int usb_level);

/* Directory prefix for parameter and calibration files (normally ends in a separator). */
PYLOX_API int pylox_path_cfg(const char *path);
PYLOX_API const char *pylox_path_get(void);

PYLOX_END_DECLS

#endif
