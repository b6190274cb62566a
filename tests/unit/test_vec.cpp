// The vector and matrix library against textbook identities, and its edge cases.
#include <gtest/gtest.h>
#include <pylox/tq_vec.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <string>

namespace {

using M4 = std::array<double, 16>;
using M3 = std::array<double, 9>;
using Q = std::array<double, 4>;
using V3 = std::array<double, 3>;

constexpr double kEps = 1e-9;

std::mt19937 &rng()
{
    static std::mt19937 r(12);
    return r;
}

double uni(double a = -2.0, double b = 2.0)
{
    return std::uniform_real_distribution<double>(a, b)(rng());
}

template <size_t N> std::array<double, N> random_array()
{
    std::array<double, N> a;
    for (auto &e : a) {
        e = uni();
    }
    return a;
}

Q random_unit_quat()
{
    Q q = random_array<4>();
    quat_normalize(q.data(), nullptr);
    return q;
}

// Element (r, c) of an n x n column-major matrix.
template <size_t N> double at(const std::array<double, N> &m, int r, int c)
{
    constexpr int n = N == 16 ? 4 : 3;
    return m[c * n + r];
}

template <size_t N>
void expect_near(const std::array<double, N> &a, const std::array<double, N> &b, double eps = kEps)
{
    for (size_t i = 0; i < N; ++i) {
        EXPECT_NEAR(a[i], b[i], eps) << "index " << i;
    }
}

M4 identity4()
{
    M4 m{};
    mat4_identity(m.data());
    return m;
}

// Rotation matrix to quaternion (the test's own, Shepperd's method).
Q quat_from_matrix(const M3 &m)
{
    const double tr = at(m, 0, 0) + at(m, 1, 1) + at(m, 2, 2);
    Q q;
    if (tr > 0) {
        const double s = std::sqrt(tr + 1.0) * 2;
        q = {(at(m, 2, 1) - at(m, 1, 2)) / s, (at(m, 0, 2) - at(m, 2, 0)) / s,
             (at(m, 1, 0) - at(m, 0, 1)) / s, 0.25 * s};
    } else if (at(m, 0, 0) > at(m, 1, 1) && at(m, 0, 0) > at(m, 2, 2)) {
        const double s = std::sqrt(1.0 + at(m, 0, 0) - at(m, 1, 1) - at(m, 2, 2)) * 2;
        q = {0.25 * s, (at(m, 0, 1) + at(m, 1, 0)) / s, (at(m, 0, 2) + at(m, 2, 0)) / s,
             (at(m, 2, 1) - at(m, 1, 2)) / s};
    } else if (at(m, 1, 1) > at(m, 2, 2)) {
        const double s = std::sqrt(1.0 + at(m, 1, 1) - at(m, 0, 0) - at(m, 2, 2)) * 2;
        q = {(at(m, 0, 1) + at(m, 1, 0)) / s, 0.25 * s, (at(m, 1, 2) + at(m, 2, 1)) / s,
             (at(m, 0, 2) - at(m, 2, 0)) / s};
    } else {
        const double s = std::sqrt(1.0 + at(m, 2, 2) - at(m, 0, 0) - at(m, 1, 1)) * 2;
        q = {(at(m, 0, 2) + at(m, 2, 0)) / s, (at(m, 1, 2) + at(m, 2, 1)) / s, 0.25 * s,
             (at(m, 1, 0) - at(m, 0, 1)) / s};
    }
    return q;
}

// Inverse times matrix is the identity; determinants multiply; the product
// follows the column-major definition through matrix-vector products.
TEST(Vec, InverseAndProductIdentities)
{
    for (int trial = 0; trial < 50; ++trial) {
        M4 a = random_array<16>(), b = random_array<16>();
        M4 inv{}, prod{};
        ASSERT_EQ(mat4_inverse(a.data(), inv.data()), inv.data());
        mat4_multiply(inv.data(), a.data(), prod.data());
        expect_near(prod, identity4(), 1e-8);
        mat4_multiply(a.data(), b.data(), prod.data());
        EXPECT_NEAR(mat4_determinant(prod.data()),
                    mat4_determinant(a.data()) * mat4_determinant(b.data()), 1e-8);
        // (a b) v = a (b v) for a 4-vector v.
        Q v = random_array<4>(), bv{}, abv{}, pv{};
        mat4_multiplyVec4(b.data(), v.data(), bv.data());
        mat4_multiplyVec4(a.data(), bv.data(), abv.data());
        mat4_multiplyVec4(prod.data(), v.data(), pv.data());
        expect_near(abv, pv, 1e-9);
        // multiplyVec3 is the product with (x, y, z, 1), without division.
        V3 v3{v[0], v[1], v[2]}, r3{};
        Q v4{v[0], v[1], v[2], 1.0}, r4{};
        mat4_multiplyVec3(a.data(), v3.data(), r3.data());
        mat4_multiplyVec4(a.data(), v4.data(), r4.data());
        expect_near(r3, V3{r4[0], r4[1], r4[2]});
        // Element (r, c) of the product is row r of a times column c of b.
        EXPECT_NEAR(at(prod, 1, 2),
                    at(a, 1, 0) * at(b, 0, 2) + at(a, 1, 1) * at(b, 1, 2) +
                        at(a, 1, 2) * at(b, 2, 2) + at(a, 1, 3) * at(b, 3, 2),
                    kEps);

        M3 m3 = random_array<9>(), i3 = m3, p3{}, id3{};
        mat3_inverse(i3.data(), nullptr);
        mat3_multiply(m3.data(), i3.data(), p3.data());
        mat3_identity(id3.data());
        expect_near(p3, id3, 1e-8);
        // The inverse of the upper-left block, also through mat4_toInverseMat3.
        M3 via4{};
        M4 e4{};
        mat3_toMat4(m3.data(), e4.data());
        ASSERT_NE(mat4_toInverseMat3(e4.data(), via4.data()), nullptr);
        expect_near(via4, i3, 1e-9);
        M3 back{};
        mat4_toMat3(e4.data(), back.data());
        expect_near(back, m3, 0.0);
        // Transposes: (a b)^T = b^T a^T.
        M4 at4 = a, bt4 = b, pt{}, tp = prod;
        mat4_transpose(at4.data(), nullptr);
        mat4_transpose(bt4.data(), nullptr);
        mat4_multiply(bt4.data(), at4.data(), pt.data());
        mat4_transpose(tp.data(), nullptr);
        expect_near(pt, tp, 1e-12);
    }
}

TEST(Vec, SingularMatrices)
{
    M4 s{3, 1, 4, 1, 5, 9, 2, 6, 0, 0, 0, 0, 5, 8, 9, 7}; // small integers: exact
    for (int r = 0; r < 4; ++r) {
        s[8 + r] = 2.0 * s[r]; // column 2 = 2 * column 0
    }
    EXPECT_EQ(mat4_determinant(s.data()), 0.0);
    M4 dest;
    dest.fill(7.0);
    EXPECT_EQ(mat4_inverse(s.data(), dest.data()), nullptr);
    for (double d : dest) {
        EXPECT_EQ(d, 7.0); // untouched
    }
    EXPECT_EQ(mat4_toInverseMat3(s.data(), nullptr), nullptr);
    M3 s3{1, 2, 3, 2, 4, 6, 0, 1, 5}, d3;
    d3.fill(3.0);
    EXPECT_EQ(mat3_inverse(s3.data(), d3.data()), d3.data()); // returned, unchanged
    for (double d : d3) {
        EXPECT_EQ(d, 3.0);
    }
    EXPECT_EQ(mat3_inverse(s3.data(), nullptr), s3.data());
    EXPECT_EQ(s3[1], 2.0);
}

// Translate, scale and rotations equal multiplication by the explicit matrix;
// destinations may alias operands.
TEST(Vec, TransformsAndAliasing)
{
    const M4 m = random_array<16>();
    const V3 v{1.5, -2.0, 0.25};
    M4 t = identity4(), want{}, got{};
    t[12] = v[0];
    t[13] = v[1];
    t[14] = v[2];
    M4 mm = m;
    mat4_multiply(mm.data(), t.data(), want.data());
    mat4_translate(mm.data(), v.data(), got.data());
    expect_near(got, want);

    M4 s = identity4();
    s[0] = v[0];
    s[5] = v[1];
    s[10] = v[2];
    mat4_multiply(mm.data(), s.data(), want.data());
    M4 in_place = m;
    mat4_scale(in_place.data(), v.data(), nullptr);
    expect_near(in_place, want);

    const double angle = 0.7;
    const V3 axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double *(*single[3])(double *, double, double *) = {mat4_rotateX, mat4_rotateY, mat4_rotateZ};
    for (int i = 0; i < 3; ++i) {
        mat4_rotate(mm.data(), angle, axes[i].data(), want.data());
        single[i](mm.data(), angle, got.data());
        expect_near(got, want, 1e-12);
    }
    // A rotation about a scaled axis is the one about the unit axis, and it
    // turns a vector on the axis into itself.
    const V3 axis{3.0, -4.0, 12.0};
    M4 r{}, r_unit{};
    mat4_rotate(t.data(), 1.1, axis.data(), r.data()); // t: pure translation
    V3 unit = axis;
    vec3_normalize(unit.data(), nullptr);
    mat4_rotate(t.data(), 1.1, unit.data(), r_unit.data());
    expect_near(r, r_unit, 1e-12);
    V3 on_axis = axis, turned{};
    M4 rot{};
    mat4_rotate(identity4().data(), 1.1, axis.data(), rot.data());
    mat4_multiplyVec3(rot.data(), on_axis.data(), turned.data());
    expect_near(turned, axis, 1e-12);
    const V3 zero{};
    M4 keep = m;
    EXPECT_EQ(mat4_rotate(keep.data(), 1.0, zero.data(), nullptr), nullptr);
    expect_near(keep, m, 0.0);

    // Product into its second operand.
    M4 a = random_array<16>(), b = random_array<16>(), ab{};
    mat4_multiply(a.data(), b.data(), ab.data());
    mat4_multiply(a.data(), b.data(), b.data());
    expect_near(b, ab, 0.0);
    M3 a3 = random_array<9>(), b3 = random_array<9>(), ab3{};
    mat3_multiply(a3.data(), b3.data(), ab3.data());
    mat3_multiply(a3.data(), b3.data(), nullptr);
    expect_near(a3, ab3, 0.0);
}

// lookAt gives an orthonormal basis that puts the eye at the origin and the
// centre on the negative z axis.
TEST(Vec, LookAt)
{
    for (int trial = 0; trial < 30; ++trial) {
        const V3 eye = random_array<3>(), center = random_array<3>(), up = random_array<3>();
        M4 m{};
        ASSERT_EQ(mat4_lookAt(eye.data(), center.data(), up.data(), m.data()), m.data());
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                const double dot = at(m, i, 0) * at(m, j, 0) + at(m, i, 1) * at(m, j, 1) +
                                   at(m, i, 2) * at(m, j, 2);
                EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-12);
            }
        }
        EXPECT_EQ(m[3], 0.0);
        EXPECT_EQ(m[15], 1.0);
        V3 e = eye, c = center, pe{}, pc{};
        mat4_multiplyVec3(m.data(), e.data(), pe.data());
        mat4_multiplyVec3(m.data(), c.data(), pc.data());
        expect_near(pe, V3{}, 1e-12);
        expect_near(pc, V3{0, 0, -vec3_dist(eye.data(), center.data())}, 1e-12);
        // The up vector stays in the upper half of the view.
        V3 u = up, pu{};
        M4 rot{};
        mat4_toRotationMat(m.data(), rot.data());
        mat4_multiplyVec3(rot.data(), u.data(), pu.data());
        EXPECT_NEAR(pu[0], 0.0, 1e-12);
        EXPECT_GT(pu[1], 0.0);
    }
    const V3 p{1, 2, 3}, up{0, 1, 0};
    double *same = mat4_lookAt(p.data(), p.data(), up.data(), nullptr);
    ASSERT_NE(same, nullptr);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(same[i], identity4()[i]);
    }
    std::free(same);
    // Up parallel to the view direction: no x and y axes.
    const V3 eye{0, 5, 0}, center{0, 1, 0};
    M4 m{};
    mat4_lookAt(eye.data(), center.data(), up.data(), m.data());
    for (const int i : {0, 4, 8, 1, 5, 9}) {
        EXPECT_EQ(m[i], 0.0);
    }
    EXPECT_EQ(m[6], 1.0); // z = (0, 1, 0)
}

// Quaternions and their rotation matrices: the same rotation, products and
// inverses that match, and back from the matrix to the quaternion.
TEST(Vec, QuaternionMatrixRoundTrips)
{
    for (int trial = 0; trial < 50; ++trial) {
        Q a = random_unit_quat(), b = random_unit_quat();
        M3 ma{}, mb{}, mab{}, mprod{};
        quat_toMat3(a.data(), ma.data());
        quat_toMat3(b.data(), mb.data());
        Q ab{};
        quat_multiply(a.data(), b.data(), ab.data());
        quat_toMat3(ab.data(), mab.data());
        mat3_multiply(ma.data(), mb.data(), mprod.data());
        expect_near(mab, mprod, 1e-12);

        Q back = quat_from_matrix(ma);
        if (back[3] * a[3] < 0) {
            for (auto &e : back) {
                e = -e;
            }
        }
        expect_near(back, a, 1e-9);

        // Axis-angle: q = (axis sin(t/2), cos(t/2)) is mat4_rotate by t.
        const double theta = 2.0 * std::acos(a[3]);
        const double s = std::sqrt(1.0 - a[3] * a[3]);
        const V3 axis{a[0] / s, a[1] / s, a[2] / s};
        M4 r{}, qa{};
        mat4_rotate(identity4().data(), theta, axis.data(), r.data());
        quat_toMat4(a.data(), qa.data());
        expect_near(qa, r, 1e-9);

        const V3 v = random_array<3>();
        V3 by_q = v, by_m = v;
        quat_multiplyVec3(a.data(), by_q.data(), nullptr);
        mat4_multiplyVec3(qa.data(), by_m.data(), nullptr);
        expect_near(by_q, by_m, 1e-12);

        const V3 t = random_array<3>();
        M4 rt{}, want = qa;
        mat4_fromRotationTranslation(a.data(), t.data(), rt.data());
        want[12] = t[0];
        want[13] = t[1];
        want[14] = t[2];
        expect_near(rt, want, 0.0);

        // q q^-1 = 1 for any quaternion; conjugate = inverse for unit ones.
        Q g = random_array<4>(), gi{}, one{};
        quat_inverse(g.data(), gi.data());
        quat_multiply(g.data(), gi.data(), one.data());
        expect_near(one, Q{0, 0, 0, 1}, 1e-12);
        Q conj{};
        quat_conjugate(a.data(), conj.data());
        quat_inverse(a.data(), gi.data());
        expect_near(conj, gi, 1e-12);
        EXPECT_NEAR(quat_length(a.data()), 1.0, 1e-12);
        // calculateW rebuilds w (taken negative) of a unit quaternion.
        Q w{a[0], a[1], a[2], 99.0};
        quat_calculateW(w.data(), nullptr);
        EXPECT_NEAR(w[3], -std::fabs(a[3]), 1e-9);
    }
    Q z{};
    quat_normalize(z.data(), nullptr);
    expect_near(z, Q{}, 0.0);
}

TEST(Vec, Slerp)
{
    for (int trial = 0; trial < 30; ++trial) {
        Q a = random_unit_quat(), b = random_unit_quat(), r{};
        quat_slerp(a.data(), b.data(), 0.0, r.data());
        expect_near(r, a, 1e-12);
        quat_slerp(a.data(), b.data(), 1.0, r.data());
        expect_near(r, b, 1e-12);
        // Half way: unit length, equal angle to both ends.
        quat_slerp(a.data(), b.data(), 0.5, r.data());
        EXPECT_NEAR(quat_length(r.data()), 1.0, 1e-12);
        EXPECT_NEAR(quat_dot(r.data(), a.data()), quat_dot(r.data(), b.data()), 1e-12);
    }
    Q a = random_unit_quat(), r{};
    Q same = a;
    quat_slerp(a.data(), same.data(), 0.3, r.data());
    expect_near(r, a, 0.0);
    Q opposite{-a[0], -a[1], -a[2], -a[3]};
    quat_slerp(a.data(), opposite.data(), 0.3, r.data());
    expect_near(r, a, 0.0);
    // Less than 0.001 apart (yet a dot below 1): the mean of the two.
    Q one{0, 0, 0, 1}, near{std::sin(1e-4), 0, 0, std::cos(1e-4)};
    quat_slerp(one.data(), near.data(), 0.9, r.data());
    expect_near(r, Q{0.5 * near[0], 0, 0, 0.5 + 0.5 * near[3]}, 0.0);
}

TEST(Vec, Projections)
{
    M4 f{}, p{};
    mat4_frustum(-2, 3, -1, 4, 0.5, 10, f.data());
    const double top = 0.5 * std::tan(60.0 * std::numbers::pi / 360.0);
    mat4_perspective(60.0, 1.5, 0.5, 10, p.data());
    mat4_frustum(-top * 1.5, top * 1.5, -top, top, 0.5, 10, f.data());
    expect_near(p, f, 0.0);
    M4 o{};
    mat4_ortho(-2, 6, -1, 3, 1, 5, o.data());
    // Corners of the box go to the corners of the unit cube.
    V3 c1{-2, -1, -1}, c2{6, 3, -5};
    mat4_multiplyVec3(o.data(), c1.data(), nullptr);
    mat4_multiplyVec3(o.data(), c2.data(), nullptr);
    expect_near(c1, V3{-1, -1, -1}, 1e-12);
    expect_near(c2, V3{1, 1, 1}, 1e-12);

    // unproject inverts the projection to window coordinates.
    const V3 eye{1, 2, 5}, center{0, 0, 0}, up{0, 1, 0};
    M4 view{}, proj{};
    mat4_lookAt(eye.data(), center.data(), up.data(), view.data());
    mat4_perspective(45.0, 4.0 / 3.0, 0.1, 100, proj.data());
    const double viewport[4] = {10, 20, 320, 240};
    const V3 point{0.3, -0.2, 0.4};
    M4 pv{};
    mat4_multiply(proj.data(), view.data(), pv.data());
    Q clip{point[0], point[1], point[2], 1.0};
    mat4_multiplyVec4(pv.data(), clip.data(), nullptr);
    V3 win{viewport[0] + (clip[0] / clip[3] + 1) / 2 * viewport[2],
           viewport[1] + (clip[1] / clip[3] + 1) / 2 * viewport[3], (clip[2] / clip[3] + 1) / 2};
    V3 un{};
    ASSERT_EQ(vec3_unproject(win.data(), view.data(), proj.data(), viewport, un.data()), un.data());
    expect_near(un, point, 1e-9);
    M4 flat{};
    EXPECT_EQ(vec3_unproject(win.data(), flat.data(), proj.data(), viewport, nullptr), nullptr);
}

TEST(Vec, Vectors)
{
    V3 a{1, 2, 3}, b{-4, 0.5, 2}, r{};
    vec3_cross(a.data(), b.data(), r.data());
    EXPECT_NEAR(vec3_dot(r.data(), a.data()), 0.0, kEps);
    EXPECT_NEAR(vec3_dot(r.data(), b.data()), 0.0, kEps);
    vec3_lerp(a.data(), b.data(), 0.25, r.data());
    expect_near(r, V3{1 - 1.25, 2 - 0.375, 3 - 0.25});
    vec3_direction(a.data(), b.data(), r.data());
    EXPECT_NEAR(vec3_length(r.data()), 1.0, kEps);
    EXPECT_NEAR(r[0] * vec3_dist(a.data(), b.data()), 5.0, kEps);
    V3 same = a;
    vec3_direction(a.data(), same.data(), r.data());
    expect_near(r, V3{}, 0.0);
    V3 z{};
    vec3_normalize(z.data(), nullptr);
    expect_near(z, V3{}, 0.0);
    V3 s = a;
    vec3_add(s.data(), b.data(), nullptr);
    vec3_subtract(s.data(), b.data(), nullptr);
    vec3_multiply(s.data(), b.data(), nullptr);
    vec3_scale(s.data(), 2.0, nullptr);
    vec3_negate(s.data(), nullptr);
    expect_near(s, V3{8, -2, -12});

    double *m = mat4_identity(nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[15], 1.0);
    std::free(m);
}

// Formatting: six decimals, comma and blank, square brackets; never past the
// buffer.
TEST(Vec, Str)
{
    const V3 v{1, 2, 3};
    char buf[128];
    EXPECT_EQ(vec3_str(v.data(), buf, sizeof buf), 30);
    EXPECT_STREQ(buf, "[1.000000, 2.000000, 3.000000]");
    const Q q{0.5, -1, 0, 2};
    EXPECT_EQ(quat_str(q.data(), buf, sizeof buf),
              static_cast<int>(std::strlen("[0.500000, -1.000000, 0.000000, 2.000000]")));
    EXPECT_STREQ(buf, "[0.500000, -1.000000, 0.000000, 2.000000]");
    M3 i3{};
    mat3_identity(i3.data()); // nine "x.000000", eight ", ", two brackets
    EXPECT_EQ(mat3_str(i3.data(), buf, sizeof buf), 9 * 8 + 8 * 2 + 2);
    // Large values in a small buffer: cut, terminated, nothing written past it.
    const V3 huge{1e300, -1e300, 1e300};
    char small[40];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(vec3_str(huge.data(), small, 32), 31);
    EXPECT_EQ(small[31], '\0');
    EXPECT_EQ(small[32], 'x');
    EXPECT_EQ(vec3_str(v.data(), small, 0), 0);
    EXPECT_EQ(small[0], '[');
}

} // namespace
