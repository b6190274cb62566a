/* Numeric helpers of the depth computation. */
#ifndef PYLOX_TQ_MATH_H
#define PYLOX_TQ_MATH_H

#include <stdint.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

#define ARCTAN2_LUT_NUM 4096
#define TQ_PHASE_FULL 0x8000 /* a full turn in phase units */

/* Entry i: angle of the vector (4095, i), a full turn being 32768. */
PYLOX_API extern const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM];

/* Prints the arctangent table as C source to standard output. */
PYLOX_API void tq_math_lut_print_arctan2(int32_t lut_num);

/* Least-squares line y = slope * x + intercept; r2 may be null. */
PYLOX_API void tq_math_linear_LSR_u16(const uint16_t *x, const uint16_t *y, int32_t n, float *slope,
                                      float *intercept, float *r2);

PYLOX_END_DECLS

#endif
