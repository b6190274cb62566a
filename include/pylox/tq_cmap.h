/* Distance colour maps and whole-buffer pixel type conversions. */
#ifndef PYLOX_TQ_CMAP_H
#define PYLOX_TQ_CMAP_H

#include <stdint.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

/* Reserved distance codes (millimetres). */
#define TQ_DIST_REMOVED 65300u /* pixel removed by a filter */
#define TQ_DIST_RESERVED 65400u
#define TQ_DIST_INVALID 65500u /* saturated or empty pixel */

#define TQ_CMAP_COLOR_RESERVED 0x8000FFu
#define TQ_CMAP_COLOR_INVALID 0xFF0EA9u

/* Packed colour: red bits 0-7, green 8-15, blue 16-23. */
typedef struct tq_cmap {
    int32_t count;
    int32_t range_min;
    int32_t range_max;
    float index_scale;
    float gray_scale;
    uint32_t *table;
} tq_cmap_t;

/* Builds a table of count colours and returns it. With count < 1 or when the
 * table cannot be allocated it returns NULL and leaves the map zeroed (count 0,
 * no table); every lookup on such a map gives 0. */
PYLOX_API uint32_t *tq_cmap_init(tq_cmap_t *map, int32_t count);
PYLOX_API void tq_cmap_uninit(tq_cmap_t *map);
PYLOX_API void tq_cmap_set_range(tq_cmap_t *map, int32_t lower, int32_t upper);
PYLOX_API uint32_t tq_cmap_get_color(const tq_cmap_t *map, int32_t value);
PYLOX_API uint32_t tq_cmap_get_gray(const tq_cmap_t *map, int32_t value);

/* Element-wise conversions over n elements (n <= 0 converts nothing); results
 * wrap, none saturates. Floats are truncated toward zero to signed 32 bits;
 * NaN and products outside that range become 0x80000000, so they convert to 0.
 * In tq_conv_u16_u8 a shift of 16 or more gives 0. */
PYLOX_API void tq_conv_u16_u8(uint8_t *dst, const uint16_t *src, int32_t n, uint32_t shift);
PYLOX_API void tq_conv_u16_f32(float *dst, const uint16_t *src, int32_t n, float scale);
PYLOX_API void tq_conv_u16_u32(uint32_t *dst, const uint16_t *src, int32_t n, uint32_t scale);
PYLOX_API void tq_conv_f32_u8(uint8_t *dst, const float *src, int32_t n, float scale);
PYLOX_API void tq_conv_f32_u16(uint16_t *dst, const float *src, int32_t n, float scale);
PYLOX_API void tq_conv_f32_u32(uint32_t *dst, const float *src, int32_t n, float scale);

PYLOX_END_DECLS

#endif
