/* Vectors, quaternions and 3x3 / 4x4 matrices in double precision with the
 * OpenGL conventions.
 *
 * - vec3: 3 doubles (x, y, z); quat: 4 doubles (x, y, z, w), w last;
 *   mat3: 9 doubles; mat4: 16 doubles.
 * - Matrices are column-major: element (row r, column c) is at index c*n + r;
 *   a mat4 keeps its translation at indices 12, 13, 14.
 * - Operations take their operands first and the destination last. A null
 *   destination (or one equal to the first operand) makes the operation work in
 *   place on its first operand; the result pointer is returned. Destinations
 *   may also alias any other operand.
 * - *_create and the producers (identity, conversions, projections, lookAt,
 *   fromRotationTranslation, quat_toMat3/4) allocate a zero-filled object when
 *   the destination is null; the caller releases it with free(). They return
 *   null when that allocation fails.
 * - *_str format the elements in storage order, each with "%f", as
 *   "[a, b, ...]" into a buffer of size bytes (always terminated when size > 0)
 *   and return the number of characters stored, without the terminator. */
#ifndef PYLOX_TQ_VEC_H
#define PYLOX_TQ_VEC_H

#include <stddef.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

/* ---- mat3 ---- */
PYLOX_API double *mat3_create(const double *src);
PYLOX_API double *mat3_set(const double *src, double *dest);
PYLOX_API double *mat3_identity(double *dest);
PYLOX_API double *mat3_transpose(double *m, double *dest);
PYLOX_API double *mat3_toMat4(const double *m, double *dest);
/* Leaves dest (or m) unchanged when m is singular; returns it in any case. */
PYLOX_API double *mat3_inverse(double *m, double *dest);
PYLOX_API double *mat3_multiply(double *a, const double *b, double *dest);
PYLOX_API int mat3_str(const double *m, char *buf, size_t size);

/* ---- mat4 ---- */
PYLOX_API double *mat4_create(const double *src);
PYLOX_API double *mat4_set(const double *src, double *dest);
PYLOX_API double *mat4_identity(double *dest);
PYLOX_API double *mat4_transpose(double *m, double *dest);
PYLOX_API double mat4_determinant(const double *m);
/* Null, destination untouched, when the determinant is exactly 0. */
PYLOX_API double *mat4_inverse(double *m, double *dest);
PYLOX_API double *mat4_toRotationMat(const double *m, double *dest);
PYLOX_API double *mat4_toMat3(const double *m, double *dest);
/* Inverse of the upper-left 3x3 into a mat3; null when it is singular. */
PYLOX_API double *mat4_toInverseMat3(const double *m, double *dest);
PYLOX_API double *mat4_multiply(double *a, const double *b, double *dest);
/* m * (x, y, z, 1) without the division by w; a null dest writes into v. */
PYLOX_API double *mat4_multiplyVec3(const double *m, double *v, double *dest);
/* m * v for a 4-vector; a null dest writes into v. */
PYLOX_API double *mat4_multiplyVec4(const double *m, double *v, double *dest);
PYLOX_API double *mat4_translate(double *m, const double *v, double *dest);
PYLOX_API double *mat4_scale(double *m, const double *v, double *dest);
/* m * R(axis, angle), angle in radians; null (nothing written) for a zero axis. */
PYLOX_API double *mat4_rotate(double *m, double angle, const double *axis, double *dest);
PYLOX_API double *mat4_rotateX(double *m, double angle, double *dest);
PYLOX_API double *mat4_rotateY(double *m, double angle, double *dest);
PYLOX_API double *mat4_rotateZ(double *m, double angle, double *dest);
PYLOX_API double *mat4_frustum(double left, double right, double bottom, double top, double near_,
                               double far_, double *dest);
/* fovy in degrees. */
PYLOX_API double *mat4_perspective(double fovy, double aspect, double near_, double far_,
                                   double *dest);
PYLOX_API double *mat4_ortho(double left, double right, double bottom, double top, double near_,
                             double far_, double *dest);
PYLOX_API double *mat4_lookAt(const double *eye, const double *center, const double *up,
                              double *dest);
PYLOX_API double *mat4_fromRotationTranslation(const double *q, const double *v, double *dest);
PYLOX_API int mat4_str(const double *m, char *buf, size_t size);

/* ---- quat ---- */
PYLOX_API double *quat_create(const double *src);
PYLOX_API double *quat_set(const double *src, double *dest);
/* Copies x, y, z and sets w = -sqrt(|1 - x^2 - y^2 - z^2|). */
PYLOX_API double *quat_calculateW(double *q, double *dest);
PYLOX_API double quat_dot(const double *a, const double *b);
PYLOX_API double *quat_inverse(double *q, double *dest);
PYLOX_API double *quat_conjugate(double *q, double *dest);
PYLOX_API double quat_length(const double *q);
PYLOX_API double *quat_normalize(double *q, double *dest);
PYLOX_API double *quat_multiply(double *a, const double *b, double *dest);
/* v rotated by q; a null dest writes into v. */
PYLOX_API double *quat_multiplyVec3(const double *q, double *v, double *dest);
PYLOX_API double *quat_toMat3(const double *q, double *dest);
PYLOX_API double *quat_toMat4(const double *q, double *dest);
/* No sign flip toward the shorter arc. */
PYLOX_API double *quat_slerp(double *a, const double *b, double t, double *dest);
PYLOX_API int quat_str(const double *q, char *buf, size_t size);

/* ---- vec3 ---- */
PYLOX_API double *vec3_create(const double *src);
PYLOX_API double *vec3_set(const double *src, double *dest);
PYLOX_API double *vec3_add(double *a, const double *b, double *dest);
PYLOX_API double *vec3_subtract(double *a, const double *b, double *dest);
PYLOX_API double *vec3_multiply(double *a, const double *b, double *dest);
PYLOX_API double *vec3_negate(double *v, double *dest);
PYLOX_API double *vec3_scale(double *v, double s, double *dest);
PYLOX_API double *vec3_normalize(double *v, double *dest);
PYLOX_API double *vec3_cross(double *a, const double *b, double *dest);
PYLOX_API double vec3_length(const double *v);
PYLOX_API double vec3_dot(const double *a, const double *b);
/* normalise(a - b), the zero vector when a equals b. */
PYLOX_API double *vec3_direction(double *a, const double *b, double *dest);
PYLOX_API double *vec3_lerp(double *a, const double *b, double t, double *dest);
PYLOX_API double vec3_dist(const double *a, const double *b);
/* Window coordinates back to object space; viewport is (x, y, width, height).
 * Null when proj * view is singular or the point lies at infinity. */
PYLOX_API double *vec3_unproject(double *v, const double *view, const double *proj,
                                 const double *viewport, double *dest);
PYLOX_API int vec3_str(const double *v, char *buf, size_t size);

PYLOX_END_DECLS

#endif
