/* Runtime features of the sensor driver, switched by filter ID. The argument
 * pointer of pylox_filter_enable points to the value the ID takes (or is not
 * read): 8 bits for FILTER_ID_SPATIAL, 16 bits unsigned for FILTER_ID_AMP,
 * FILTER_ID_AUTO_INTG, FILTER_ID_PHASE_CHECK and FILTER_ID_TEMP_MONITOR, 32
 * bits signed for FILTER_ID_OFFSET. */
#ifndef PYLOX_FILTER_H
#define PYLOX_FILTER_H

#include <pylox/pylox_export.h>
#include <pylox/pylox_types.h>

PYLOX_BEGIN_DECLS

typedef enum pylox_filter_id {
    FILTER_ID_LENS_UNDIST = 0,  /* lens undistortion of 320 x 240 images (off) */
    FILTER_ID_CALIB = 1,        /* frequency calibration (on when one was mounted) */
    FILTER_ID_SPATIAL = 2,      /* median, bilateral, flying pixel, hole fill (on, 5) */
    FILTER_ID_AMP = 4,          /* minimum amplitude (on, 30) */
    FILTER_ID_AUTO_INTG = 5,    /* automatic integration time, saturation per mille (off) */
    FILTER_ID_PHASE_CHECK = 6,  /* phase-pair sum check (off) */
    FILTER_ID_TEMP_MONITOR = 7, /* temperature log every 10 s (on, 75) */
    FILTER_ID_HDR = 8,          /* merge of rows of two integration times (off) */
    FILTER_ID_OFFSET = 9        /* user distance offset in mm (on, 0) */
} pylox_filter_id_e;

/* 1 or 0 as the driver reports (enabling FILTER_ID_CALIB reports whether a
 * calibration is loaded for the current frequency); -1 when no driver serves
 * the device. Unknown IDs are accepted and change nothing. */
PYLOX_API int pylox_filter_enable(pylox_dev_t *dev, int filter_id, void *arg);
PYLOX_API int pylox_filter_disable(pylox_dev_t *dev, int filter_id);

PYLOX_END_DECLS

#endif
