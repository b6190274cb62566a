// Vectors, quaternions and 3x3 / 4x4 matrices (column-major, OpenGL style).
//
// Every operation computes its result into a local array first and copies it
// out at the end, so a destination may alias any operand.
#include <pylox/tq_vec.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

namespace {

using v3 = std::array<double, 3>;
using v4 = std::array<double, 4>;
using m3 = std::array<double, 9>;
using m4 = std::array<double, 16>;

template <size_t N> double *alloc_zeroed()
{
    return static_cast<double *>(std::calloc(N, sizeof(double)));
}

template <size_t N> double *create(const double *src)
{
    double *d = alloc_zeroed<N>();
    if (d != nullptr && src != nullptr) {
        std::memcpy(d, src, N * sizeof(double));
    }
    return d;
}

// Copies N values (the areas may overlap) and returns dest.
template <size_t N> double *assign(const double *src, double *dest)
{
    std::memmove(dest, src, N * sizeof(double));
    return dest;
}

// Operations write into their first operand when dest is null.
template <size_t N> double *store(const std::array<double, N> &r, double *first, double *dest)
{
    double *out = dest != nullptr ? dest : first;
    std::memcpy(out, r.data(), N * sizeof(double));
    return out;
}

// Producers allocate when dest is null (null on allocation failure).
template <size_t N> double *produce(const std::array<double, N> &r, double *dest)
{
    double *out = dest != nullptr ? dest : alloc_zeroed<N>();
    if (out != nullptr) {
        std::memcpy(out, r.data(), N * sizeof(double));
    }
    return out;
}

template <size_t N> std::array<double, N> load(const double *p)
{
    std::array<double, N> r;
    std::memcpy(r.data(), p, N * sizeof(double));
    return r;
}

// "[%f, %f, ...]" into buf; the count of characters stored.
int format(const double *e, int n, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        return 0;
    }
    size_t used = 0;
    for (int i = 0; i <= n && used + 1 < size; ++i) {
        const int w = i == n
                          ? std::snprintf(buf + used, size - used, "]")
                          : std::snprintf(buf + used, size - used, i == 0 ? "[%f" : ", %f", e[i]);
        if (w < 0) {
            buf[used] = '\0';
            break;
        }
        used += static_cast<size_t>(w) < size - used ? static_cast<size_t>(w) : size - used - 1;
    }
    return static_cast<int>(used);
}

m4 identity4()
{
    m4 r{};
    r[0] = r[5] = r[10] = r[15] = 1.0;
    return r;
}

m4 mul4(const double *a, const double *b)
{
    m4 r;
    for (int c = 0; c < 4; ++c) {
        for (int row = 0; row < 4; ++row) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) {
                s += a[k * 4 + row] * b[c * 4 + k];
            }
            r[c * 4 + row] = s;
        }
    }
    return r;
}

// Inverse of the upper-left 3x3 block of a matrix with column stride n; false
// when its determinant is exactly 0. The adjugate is symmetric under
// transposition, so the storage order does not matter.
bool inverse3(const double *m, int n, m3 &r)
{
    const double a00 = m[0], a01 = m[1], a02 = m[2];
    const double a10 = m[n], a11 = m[n + 1], a12 = m[n + 2];
    const double a20 = m[2 * n], a21 = m[2 * n + 1], a22 = m[2 * n + 2];
    const double b01 = a22 * a11 - a12 * a21;
    const double b11 = -a22 * a10 + a12 * a20;
    const double b21 = a21 * a10 - a11 * a20;
    const double d = a00 * b01 + a01 * b11 + a02 * b21;
    if (d == 0.0) {
        return false;
    }
    const double id = 1.0 / d;
    r = {b01 * id, (-a22 * a01 + a02 * a21) * id, (a12 * a01 - a02 * a11) * id,
         b11 * id, (a22 * a00 - a02 * a20) * id,  (-a12 * a00 + a02 * a10) * id,
         b21 * id, (-a21 * a00 + a01 * a20) * id, (a11 * a00 - a01 * a10) * id};
    return true;
}

// 2x2 sub-determinants shared by the 4x4 determinant and inverse.
struct minors {
    double b00, b01, b02, b03, b04, b05, b06, b07, b08, b09, b10, b11;
    explicit minors(const double *a)
    {
        b00 = a[0] * a[5] - a[1] * a[4];
        b01 = a[0] * a[6] - a[2] * a[4];
        b02 = a[0] * a[7] - a[3] * a[4];
        b03 = a[1] * a[6] - a[2] * a[5];
        b04 = a[1] * a[7] - a[3] * a[5];
        b05 = a[2] * a[7] - a[3] * a[6];
        b06 = a[8] * a[13] - a[9] * a[12];
        b07 = a[8] * a[14] - a[10] * a[12];
        b08 = a[8] * a[15] - a[11] * a[12];
        b09 = a[9] * a[14] - a[10] * a[13];
        b10 = a[9] * a[15] - a[11] * a[13];
        b11 = a[10] * a[15] - a[11] * a[14];
    }
    double det() const
    {
        return b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06;
    }
};

double len3(const double *v)
{
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// Zero vector for length 0, unchanged for length exactly 1.
v3 normalized(const v3 &v)
{
    const double l = len3(v.data());
    if (l == 0.0) {
        return v3{};
    }
    if (l == 1.0) {
        return v;
    }
    return v3{v[0] / l, v[1] / l, v[2] / l};
}

v3 cross(const double *a, const double *b)
{
    return v3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Rotation matrix of a unit quaternion, as the upper-left block of a mat4.
m4 quat_rotation(const double *q)
{
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double x2 = x + x, y2 = y + y, z2 = z + z;
    const double xx = x * x2, xy = x * y2, xz = x * z2;
    const double yy = y * y2, yz = y * z2, zz = z * z2;
    const double wx = w * x2, wy = w * y2, wz = w * z2;
    m4 r{};
    r[0] = 1.0 - (yy + zz);
    r[1] = xy + wz;
    r[2] = xz - wy;
    r[4] = xy - wz;
    r[5] = 1.0 - (xx + zz);
    r[6] = yz + wx;
    r[8] = xz + wy;
    r[9] = yz - wx;
    r[10] = 1.0 - (xx + yy);
    r[15] = 1.0;
    return r;
}

m4 to_mat4(const double *m3p)
{
    m4 r{};
    for (int c = 0; c < 3; ++c) {
        for (int row = 0; row < 3; ++row) {
            r[c * 4 + row] = m3p[c * 3 + row];
        }
    }
    r[15] = 1.0;
    return r;
}

m3 to_mat3(const double *m4p)
{
    m3 r;
    for (int c = 0; c < 3; ++c) {
        for (int row = 0; row < 3; ++row) {
            r[c * 3 + row] = m4p[c * 4 + row];
        }
    }
    return r;
}

// m with columns i and j replaced by c*col_i + s*col_j and c*col_j - s*col_i.
double *rotate_pair(double *m, int i, int j, double angle, double *dest)
{
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    m4 r = load<16>(m);
    for (int row = 0; row < 4; ++row) {
        const double ai = m[i * 4 + row];
        const double aj = m[j * 4 + row];
        r[i * 4 + row] = ai * c + aj * s;
        r[j * 4 + row] = aj * c - ai * s;
    }
    return store(r, m, dest);
}

} // namespace

extern "C" {

// ---- mat3 ----

PYLOX_API double *mat3_create(const double *src)
{
    return create<9>(src);
}

PYLOX_API double *mat3_set(const double *src, double *dest)
{
    return assign<9>(src, dest);
}

PYLOX_API double *mat3_identity(double *dest)
{
    return produce(m3{1, 0, 0, 0, 1, 0, 0, 0, 1}, dest);
}

PYLOX_API double *mat3_transpose(double *m, double *dest)
{
    return store(m3{m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]}, m, dest);
}

PYLOX_API double *mat3_toMat4(const double *m, double *dest)
{
    return produce(to_mat4(m), dest);
}

PYLOX_API double *mat3_inverse(double *m, double *dest)
{
    m3 r;
    if (!inverse3(m, 3, r)) {
        return dest != nullptr ? dest : m;
    }
    return store(r, m, dest);
}

PYLOX_API double *mat3_multiply(double *a, const double *b, double *dest)
{
    m3 r;
    for (int c = 0; c < 3; ++c) {
        for (int row = 0; row < 3; ++row) {
            r[c * 3 + row] =
                a[row] * b[c * 3] + a[3 + row] * b[c * 3 + 1] + a[6 + row] * b[c * 3 + 2];
        }
    }
    return store(r, a, dest);
}

PYLOX_API int mat3_str(const double *m, char *buf, size_t size)
{
    return format(m, 9, buf, size);
}

// ---- mat4 ----

PYLOX_API double *mat4_create(const double *src)
{
    return create<16>(src);
}

PYLOX_API double *mat4_set(const double *src, double *dest)
{
    return assign<16>(src, dest);
}

PYLOX_API double *mat4_identity(double *dest)
{
    return produce(identity4(), dest);
}

PYLOX_API double *mat4_transpose(double *m, double *dest)
{
    m4 r;
    for (int c = 0; c < 4; ++c) {
        for (int row = 0; row < 4; ++row) {
            r[c * 4 + row] = m[row * 4 + c];
        }
    }
    return store(r, m, dest);
}

PYLOX_API double mat4_determinant(const double *m)
{
    return minors(m).det();
}

PYLOX_API double *mat4_inverse(double *m, double *dest)
{
    const double *a = m;
    const minors b(a);
    const double d = b.det();
    if (d == 0.0) {
        return nullptr;
    }
    const double id = 1.0 / d;
    const m4 r{(a[5] * b.b11 - a[6] * b.b10 + a[7] * b.b09) * id,
               (-a[1] * b.b11 + a[2] * b.b10 - a[3] * b.b09) * id,
               (a[13] * b.b05 - a[14] * b.b04 + a[15] * b.b03) * id,
               (-a[9] * b.b05 + a[10] * b.b04 - a[11] * b.b03) * id,
               (-a[4] * b.b11 + a[6] * b.b08 - a[7] * b.b07) * id,
               (a[0] * b.b11 - a[2] * b.b08 + a[3] * b.b07) * id,
               (-a[12] * b.b05 + a[14] * b.b02 - a[15] * b.b01) * id,
               (a[8] * b.b05 - a[10] * b.b02 + a[11] * b.b01) * id,
               (a[4] * b.b10 - a[5] * b.b08 + a[7] * b.b06) * id,
               (-a[0] * b.b10 + a[1] * b.b08 - a[3] * b.b06) * id,
               (a[12] * b.b04 - a[13] * b.b02 + a[15] * b.b00) * id,
               (-a[8] * b.b04 + a[9] * b.b02 - a[11] * b.b00) * id,
               (-a[4] * b.b09 + a[5] * b.b07 - a[6] * b.b06) * id,
               (a[0] * b.b09 - a[1] * b.b07 + a[2] * b.b06) * id,
               (-a[12] * b.b03 + a[13] * b.b01 - a[14] * b.b00) * id,
               (a[8] * b.b03 - a[9] * b.b01 + a[10] * b.b00) * id};
    return store(r, m, dest);
}

PYLOX_API double *mat4_toRotationMat(const double *m, double *dest)
{
    m4 r = load<16>(m);
    r[12] = r[13] = r[14] = 0.0;
    r[15] = 1.0;
    return produce(r, dest);
}

PYLOX_API double *mat4_toMat3(const double *m, double *dest)
{
    return produce(to_mat3(m), dest);
}

PYLOX_API double *mat4_toInverseMat3(const double *m, double *dest)
{
    m3 r;
    if (!inverse3(m, 4, r)) {
        return nullptr;
    }
    return produce(r, dest);
}

PYLOX_API double *mat4_multiply(double *a, const double *b, double *dest)
{
    return store(mul4(a, b), a, dest);
}

PYLOX_API double *mat4_multiplyVec3(const double *m, double *v, double *dest)
{
    const double x = v[0], y = v[1], z = v[2];
    const v3 r{m[0] * x + m[4] * y + m[8] * z + m[12], m[1] * x + m[5] * y + m[9] * z + m[13],
               m[2] * x + m[6] * y + m[10] * z + m[14]};
    return store(r, v, dest);
}

PYLOX_API double *mat4_multiplyVec4(const double *m, double *v, double *dest)
{
    v4 r;
    for (int row = 0; row < 4; ++row) {
        r[row] = m[row] * v[0] + m[4 + row] * v[1] + m[8 + row] * v[2] + m[12 + row] * v[3];
    }
    return store(r, v, dest);
}

PYLOX_API double *mat4_translate(double *m, const double *v, double *dest)
{
    m4 r = load<16>(m);
    for (int row = 0; row < 4; ++row) {
        r[12 + row] = m[row] * v[0] + m[4 + row] * v[1] + m[8 + row] * v[2] + m[12 + row];
    }
    return store(r, m, dest);
}

PYLOX_API double *mat4_scale(double *m, const double *v, double *dest)
{
    m4 r = load<16>(m);
    for (int c = 0; c < 3; ++c) {
        for (int row = 0; row < 4; ++row) {
            r[c * 4 + row] *= v[c];
        }
    }
    return store(r, m, dest);
}

PYLOX_API double *mat4_rotate(double *m, double angle, const double *axis, double *dest)
{
    double x = axis[0], y = axis[1], z = axis[2];
    const double len = len3(axis);
    if (len == 0.0) {
        return nullptr;
    }
    if (len != 1.0) {
        x /= len;
        y /= len;
        z /= len;
    }
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    const double t = 1.0 - c;
    // Rotation about the axis, column-major.
    m4 rot{};
    rot[0] = x * x * t + c;
    rot[1] = y * x * t + z * s;
    rot[2] = z * x * t - y * s;
    rot[4] = x * y * t - z * s;
    rot[5] = y * y * t + c;
    rot[6] = z * y * t + x * s;
    rot[8] = x * z * t + y * s;
    rot[9] = y * z * t - x * s;
    rot[10] = z * z * t + c;
    rot[15] = 1.0;
    m4 r = mul4(m, rot.data());
    // Column 3 stays that of m exactly.
    for (int row = 0; row < 4; ++row) {
        r[12 + row] = m[12 + row];
    }
    return store(r, m, dest);
}

PYLOX_API double *mat4_rotateX(double *m, double angle, double *dest)
{
    return rotate_pair(m, 1, 2, angle, dest);
}

PYLOX_API double *mat4_rotateY(double *m, double angle, double *dest)
{
    return rotate_pair(m, 2, 0, angle, dest);
}

PYLOX_API double *mat4_rotateZ(double *m, double angle, double *dest)
{
    return rotate_pair(m, 0, 1, angle, dest);
}

PYLOX_API double *mat4_frustum(double left, double right, double bottom, double top, double near_,
                               double far_, double *dest)
{
    const double rl = right - left;
    const double tb = top - bottom;
    const double fn = far_ - near_;
    m4 r{};
    r[0] = near_ * 2.0 / rl;
    r[5] = near_ * 2.0 / tb;
    r[8] = (right + left) / rl;
    r[9] = (top + bottom) / tb;
    r[10] = -(far_ + near_) / fn;
    r[11] = -1.0;
    r[14] = -(far_ * near_ * 2.0) / fn;
    return produce(r, dest);
}

PYLOX_API double *mat4_perspective(double fovy, double aspect, double near_, double far_,
                                   double *dest)
{
    const double top = near_ * std::tan(fovy * std::numbers::pi / 360.0);
    const double right = top * aspect;
    return mat4_frustum(-right, right, -top, top, near_, far_, dest);
}

PYLOX_API double *mat4_ortho(double left, double right, double bottom, double top, double near_,
                             double far_, double *dest)
{
    const double rl = right - left;
    const double tb = top - bottom;
    const double fn = far_ - near_;
    m4 r{};
    r[0] = 2.0 / rl;
    r[5] = 2.0 / tb;
    r[10] = -2.0 / fn;
    r[12] = -(left + right) / rl;
    r[13] = -(top + bottom) / tb;
    r[14] = -(far_ + near_) / fn;
    r[15] = 1.0;
    return produce(r, dest);
}

PYLOX_API double *mat4_lookAt(const double *eye, const double *center, const double *up,
                              double *dest)
{
    if (eye[0] == center[0] && eye[1] == center[1] && eye[2] == center[2]) {
        return mat4_identity(dest);
    }
    const v3 z = normalized(v3{eye[0] - center[0], eye[1] - center[1], eye[2] - center[2]});
    const v3 x = normalized(cross(up, z.data()));
    const v3 y = normalized(cross(z.data(), x.data()));
    m4 r{};
    for (int i = 0; i < 3; ++i) {
        r[i * 4 + 0] = x[i];
        r[i * 4 + 1] = y[i];
        r[i * 4 + 2] = z[i];
    }
    r[12] = -(x[0] * eye[0] + x[1] * eye[1] + x[2] * eye[2]);
    r[13] = -(y[0] * eye[0] + y[1] * eye[1] + y[2] * eye[2]);
    r[14] = -(z[0] * eye[0] + z[1] * eye[1] + z[2] * eye[2]);
    r[15] = 1.0;
    return produce(r, dest);
}

PYLOX_API double *mat4_fromRotationTranslation(const double *q, const double *v, double *dest)
{
    m4 r = quat_rotation(q);
    r[12] = v[0];
    r[13] = v[1];
    r[14] = v[2];
    return produce(r, dest);
}

PYLOX_API int mat4_str(const double *m, char *buf, size_t size)
{
    return format(m, 16, buf, size);
}

// ---- quat ----

PYLOX_API double *quat_create(const double *src)
{
    return create<4>(src);
}

PYLOX_API double *quat_set(const double *src, double *dest)
{
    return assign<4>(src, dest);
}

PYLOX_API double *quat_calculateW(double *q, double *dest)
{
    const double x = q[0], y = q[1], z = q[2];
    return store(v4{x, y, z, -std::sqrt(std::fabs(1.0 - x * x - y * y - z * z))}, q, dest);
}

PYLOX_API double quat_dot(const double *a, const double *b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
}

PYLOX_API double *quat_inverse(double *q, double *dest)
{
    const double d = quat_dot(q, q);
    const double id = 1.0 / d;
    return store(v4{-q[0] * id, -q[1] * id, -q[2] * id, q[3] * id}, q, dest);
}

PYLOX_API double *quat_conjugate(double *q, double *dest)
{
    return store(v4{-q[0], -q[1], -q[2], q[3]}, q, dest);
}

PYLOX_API double quat_length(const double *q)
{
    return std::sqrt(quat_dot(q, q));
}

PYLOX_API double *quat_normalize(double *q, double *dest)
{
    const double l = quat_length(q);
    if (l == 0.0) {
        return store(v4{}, q, dest);
    }
    return store(v4{q[0] / l, q[1] / l, q[2] / l, q[3] / l}, q, dest);
}

PYLOX_API double *quat_multiply(double *a, const double *b, double *dest)
{
    const double ax = a[0], ay = a[1], az = a[2], aw = a[3];
    const double bx = b[0], by = b[1], bz = b[2], bw = b[3];
    return store(v4{ax * bw + aw * bx + ay * bz - az * by, ay * bw + aw * by + az * bx - ax * bz,
                    az * bw + aw * bz + ax * by - ay * bx, aw * bw - ax * bx - ay * by - az * bz},
                 a, dest);
}

PYLOX_API double *quat_multiplyVec3(const double *q, double *v, double *dest)
{
    const double x = v[0], y = v[1], z = v[2];
    const double qx = q[0], qy = q[1], qz = q[2], qw = q[3];
    // q * (v, 0), then times the conjugate of q.
    const double ix = qw * x + qy * z - qz * y;
    const double iy = qw * y + qz * x - qx * z;
    const double iz = qw * z + qx * y - qy * x;
    const double iw = -qx * x - qy * y - qz * z;
    return store(v3{ix * qw + iw * -qx + iy * -qz - iz * -qy,
                    iy * qw + iw * -qy + iz * -qx - ix * -qz,
                    iz * qw + iw * -qz + ix * -qy - iy * -qx},
                 v, dest);
}

PYLOX_API double *quat_toMat3(const double *q, double *dest)
{
    return produce(to_mat3(quat_rotation(q).data()), dest);
}

PYLOX_API double *quat_toMat4(const double *q, double *dest)
{
    return produce(quat_rotation(q), dest);
}

PYLOX_API double *quat_slerp(double *a, const double *b, double t, double *dest)
{
    const double k = quat_dot(a, b);
    if (std::fabs(k) >= 1.0) {
        return store(load<4>(a), a, dest);
    }
    const double theta = std::acos(k);
    const double s = std::sqrt(1.0 - k * k);
    v4 r;
    if (std::fabs(s) < 0.001) {
        for (int i = 0; i < 4; ++i) {
            r[i] = a[i] * 0.5 + b[i] * 0.5;
        }
    } else {
        const double ra = std::sin((1.0 - t) * theta) / s;
        const double rb = std::sin(t * theta) / s;
        for (int i = 0; i < 4; ++i) {
            r[i] = a[i] * ra + b[i] * rb;
        }
    }
    return store(r, a, dest);
}

PYLOX_API int quat_str(const double *q, char *buf, size_t size)
{
    return format(q, 4, buf, size);
}

// ---- vec3 ----

PYLOX_API double *vec3_create(const double *src)
{
    return create<3>(src);
}

PYLOX_API double *vec3_set(const double *src, double *dest)
{
    return assign<3>(src, dest);
}

PYLOX_API double *vec3_add(double *a, const double *b, double *dest)
{
    return store(v3{a[0] + b[0], a[1] + b[1], a[2] + b[2]}, a, dest);
}

PYLOX_API double *vec3_subtract(double *a, const double *b, double *dest)
{
    return store(v3{a[0] - b[0], a[1] - b[1], a[2] - b[2]}, a, dest);
}

PYLOX_API double *vec3_multiply(double *a, const double *b, double *dest)
{
    return store(v3{a[0] * b[0], a[1] * b[1], a[2] * b[2]}, a, dest);
}

PYLOX_API double *vec3_negate(double *v, double *dest)
{
    return store(v3{-v[0], -v[1], -v[2]}, v, dest);
}

PYLOX_API double *vec3_scale(double *v, double s, double *dest)
{
    return store(v3{v[0] * s, v[1] * s, v[2] * s}, v, dest);
}

PYLOX_API double *vec3_normalize(double *v, double *dest)
{
    return store(normalized(load<3>(v)), v, dest);
}

PYLOX_API double *vec3_cross(double *a, const double *b, double *dest)
{
    return store(cross(a, b), a, dest);
}

PYLOX_API double vec3_length(const double *v)
{
    return len3(v);
}

PYLOX_API double vec3_dot(const double *a, const double *b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

PYLOX_API double *vec3_direction(double *a, const double *b, double *dest)
{
    const v3 d{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    const double l = len3(d.data());
    if (l == 0.0) {
        return store(v3{}, a, dest);
    }
    return store(v3{d[0] / l, d[1] / l, d[2] / l}, a, dest);
}

PYLOX_API double *vec3_lerp(double *a, const double *b, double t, double *dest)
{
    return store(v3{a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])},
                 a, dest);
}

PYLOX_API double vec3_dist(const double *a, const double *b)
{
    const double d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    return len3(d);
}

PYLOX_API double *vec3_unproject(double *v, const double *view, const double *proj,
                                 const double *viewport, double *dest)
{
    m4 m = mul4(proj, view);
    if (mat4_inverse(m.data(), nullptr) == nullptr) {
        return nullptr;
    }
    v4 p{(v[0] - viewport[0]) * 2.0 / viewport[2] - 1.0,
         (v[1] - viewport[1]) * 2.0 / viewport[3] - 1.0, 2.0 * v[2] - 1.0, 1.0};
    mat4_multiplyVec4(m.data(), p.data(), nullptr);
    if (p[3] == 0.0) {
        return nullptr;
    }
    return store(v3{p[0] / p[3], p[1] / p[3], p[2] / p[3]}, v, dest);
}

PYLOX_API int vec3_str(const double *v, char *buf, size_t size)
{
    return format(v, 3, buf, size);
}

} // extern "C"
