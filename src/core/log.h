// Internal logging shorthands. Every message starts with "[%s] " and the name
// of the function that emits it; these macros pass that name.
#pragma once

#include <pylox/tq_log.h>

#define PYLOX_LOG_AS(level, name, fmt, ...)                                                        \
    tq_log((level), pylox_log_tag(level), (fmt), (name), ##__VA_ARGS__)

#define LOG_TRC(fmt, ...) PYLOX_LOG_AS(TQ_LOG_TRC, __func__, fmt, ##__VA_ARGS__)
#define LOG_DBG(fmt, ...) PYLOX_LOG_AS(TQ_LOG_DBG, __func__, fmt, ##__VA_ARGS__)
#define LOG_INF(fmt, ...) PYLOX_LOG_AS(TQ_LOG_INF, __func__, fmt, ##__VA_ARGS__)
#define LOG_WRN(fmt, ...) PYLOX_LOG_AS(TQ_LOG_WRN, __func__, fmt, ##__VA_ARGS__)
#define LOG_ERR(fmt, ...) PYLOX_LOG_AS(TQ_LOG_ERR, __func__, fmt, ##__VA_ARGS__)

// Tag text of a level: "TRC", "DBG", "INF", "WRN", "ERR".
const char *pylox_log_tag(int level);

// Console and file thresholds (pylox_log_cfg sets them with the transport's level).
void pylox_log_set_thresholds(int console_level, int file_level);
