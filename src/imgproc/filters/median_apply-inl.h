// The median networks of median_net.h applied to any value type with a min
// and a max. No include guard on purpose: this file is included inside a
// namespace, once per instruction set by the vector forms (so the templates
// are compiled for that instruction set and inline into its code) and once in
// a plain namespace by the one-value-at-a-time forms and the tests. Include
// "imgproc/filters/median_net.h" first, outside any namespace. Every function
// is forced inline, so no vector is ever passed to an out-of-line copy.

#ifndef PYLOX_NET_INLINE
#define PYLOX_NET_INLINE inline __attribute__((always_inline))
#endif

template <std::size_t I, class V, class Lo, class Hi>
PYLOX_NET_INLINE void net_apply_step(V *v, Lo lo, Hi hi)
{
    constexpr net_step s = kMedian25.steps[I];
    if constexpr (s.kind == net_step::both) {
        const V a = v[s.lo];
        v[s.lo] = lo(a, v[s.hi]);
        v[s.hi] = hi(a, v[s.hi]);
    } else if constexpr (s.kind == net_step::min_only) {
        v[s.lo] = lo(v[s.lo], v[s.hi]);
    } else {
        v[s.hi] = hi(v[s.lo], v[s.hi]);
    }
}

template <class V, class Lo, class Hi, std::size_t... I>
PYLOX_NET_INLINE void net_apply(V *v, Lo lo, Hi hi, std::index_sequence<I...>)
{
    (net_apply_step<I>(v, lo, hi), ...);
}

// Median of the 25 values v[0..24] (v is overwritten).
template <class V, class Lo, class Hi> PYLOX_NET_INLINE V median25(V *v, Lo lo, Hi hi)
{
    net_apply(v, lo, hi, std::make_index_sequence<kMedian25.count>{});
    return v[kMedian25.out];
}

// Median of three: min(max(a, b), max(c, min(a, b))).
template <class V, class Lo, class Hi> PYLOX_NET_INLINE V median3(V a, V b, V c, Lo lo, Hi hi)
{
    return lo(hi(a, b), hi(c, lo(a, b)));
}

// Median of the 3x3 window given as its three rows (a0 a1 a2 / b.. / c..):
// each row sorted into low, middle, high, then the median of (largest low,
// middle middle, smallest high).
template <class V, class Lo, class Hi> PYLOX_NET_INLINE void sort3(V &x, V &y, V &z, Lo lo, Hi hi)
{
    V t = lo(x, y);
    y = hi(x, y);
    x = t;
    t = lo(y, z);
    z = hi(y, z);
    y = t;
    t = lo(x, y);
    y = hi(x, y);
    x = t;
}

template <class V, class Lo, class Hi>
PYLOX_NET_INLINE V median9(V a0, V a1, V a2, V b0, V b1, V b2, V c0, V c1, V c2, Lo lo, Hi hi)
{
    sort3(a0, a1, a2, lo, hi);
    sort3(b0, b1, b2, lo, hi);
    sort3(c0, c1, c2, lo, hi);
    const V lows = hi(hi(a0, b0), c0);
    const V highs = lo(lo(a2, b2), c2);
    const V mids = median3(a1, b1, c1, lo, hi);
    return median3(lows, mids, highs, lo, hi);
}
