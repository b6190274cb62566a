// Medians of 16-bit images: the fixed 3x3 and 5x5 windows through min/max
// networks (vector form chosen at run time, plain form as its reference), and
// any other odd window through a sliding window kept as a sorted list.
#include <pylox/tq_filter.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/log.h"
#include "imgproc/filters/filters_internal.h"
#include "imgproc/filters/median_net.h"

namespace pylox::filt {

#include "imgproc/filters/median_apply-inl.h"

namespace {

struct smin {
    uint16_t operator()(uint16_t a, uint16_t b) const { return a < b ? a : b; }
};
struct smax {
    uint16_t operator()(uint16_t a, uint16_t b) const { return a < b ? b : a; }
};

} // namespace

void median3_plain(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *a = src + static_cast<std::ptrdiff_t>(clamp_index(y - 1, h)) * w;
        const uint16_t *b = src + static_cast<std::ptrdiff_t>(y) * w;
        const uint16_t *c = src + static_cast<std::ptrdiff_t>(clamp_index(y + 1, h)) * w;
        for (int32_t x = 0; x < w; ++x) {
            const int32_t l = clamp_index(x - 1, w), r = clamp_index(x + 1, w);
            dst[static_cast<std::ptrdiff_t>(y) * w + x] =
                median9(a[l], a[x], a[r], b[l], b[x], b[r], c[l], c[x], c[r], smin{}, smax{});
        }
    }
}

void median5_plain(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *rows[5];
        for (int i = 0; i < 5; ++i) {
            rows[i] = src + static_cast<std::ptrdiff_t>(clamp_index(y - 2 + i, h)) * w;
        }
        for (int32_t x = 0; x < w; ++x) {
            uint16_t v[25];
            for (int i = 0; i < 5; ++i) {
                for (int j = 0; j < 5; ++j) {
                    v[i * 5 + j] = rows[i][clamp_index(x - 2 + j, w)];
                }
            }
            dst[static_cast<std::ptrdiff_t>(y) * w + x] = median25(v, smin{}, smax{});
        }
    }
}

namespace {

// --- sliding window as a value-sorted doubly linked list ----------------------

struct med_node {
    uint32_t value;
    int32_t x, y;
    med_node *next, *prev;
};

struct med_state {
    const uint16_t *src;
    int32_t w, h, ksize, r;
    med_node *median;
    int32_t balance; // nodes after the median minus nodes before, since the last fix
    med_node *head;
    int32_t count;
    med_node **table; // (w+2r) x (h+2r) window positions
    med_node *pool;   // the ksize*ksize nodes of the window
    int32_t pool_used;
};

void *alloc_or_exit(std::size_t n, const char *fn)
{
    void *p = std::calloc(n, 1);
    if (p == nullptr) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] malloc failed\n");
        std::exit(-3);
    }
    return p;
}

med_node *&table_slot(med_state &s, int32_t x, int32_t y)
{
    const auto tw = static_cast<std::size_t>(s.w) + 2 * static_cast<std::size_t>(s.r);
    return s.table[static_cast<std::size_t>(x + s.r) + tw * static_cast<std::size_t>(y + s.r)];
}

// A move of the median by one node once the balance reaches two.
void rebalance(med_state &s)
{
    if (s.balance >= 2) {
        s.median = s.median->next;
        s.balance = 0;
    } else if (s.balance <= -2) {
        s.median = s.median->prev;
        s.balance = 0;
    }
}

void link_before(med_state &s, med_node *n, med_node *at)
{
    // at == nullptr: append at the tail, whose predecessor is tail_prev.
    n->next = at;
    n->prev = at != nullptr ? at->prev : nullptr;
    if (at != nullptr) {
        at->prev = n;
    }
    if (n->prev != nullptr) {
        n->prev->next = n;
    } else {
        s.head = n;
    }
}

void _median2d_u16_add_val(med_state &s, int32_t x, int32_t y, med_node *reuse)
{
    med_node *n = reuse;
    if (n == nullptr) {
        if (s.pool_used >= s.ksize * s.ksize) {
            PYLOX_LOG_AS(TQ_LOG_ERR, __func__, "[%s] malloc failed\n");
            std::exit(-3);
        }
        n = &s.pool[s.pool_used++];
    }
    n->value = s.src[static_cast<std::ptrdiff_t>(clamp_index(y, s.h)) * s.w + clamp_index(x, s.w)];
    n->x = x;
    n->y = y;
    table_slot(s, x, y) = n;
    ++s.count;
    if (s.head == nullptr) {
        n->next = n->prev = nullptr;
        s.head = n;
        s.median = n;
        s.balance = 0;
        return;
    }
    med_node *at;
    if (n->value < s.median->value) {
        --s.balance;
        at = s.head;
        while (at->value <= n->value) {
            at = at->next; // stops at the median at the latest
        }
        link_before(s, n, at);
    } else {
        ++s.balance;
        at = s.median->next;
        med_node *last = s.median;
        while (at != nullptr && at->value <= n->value) {
            last = at;
            at = at->next;
        }
        if (at != nullptr) {
            link_before(s, n, at);
        } else {
            last->next = n;
            n->prev = last;
            n->next = nullptr;
        }
    }
    rebalance(s);
}

void remove_node(med_state &s, med_node *n)
{
    if (n == s.median) {
        --s.balance;
        s.median = n->next;
    } else if (n->value > s.median->value) {
        --s.balance;
    } else if (n->value < s.median->value) {
        ++s.balance;
    } else {
        // Equal to the median: after it if met before a different value.
        bool after = false;
        for (med_node *p = s.median->next; p != nullptr && p->value == s.median->value;
             p = p->next) {
            if (p == n) {
                after = true;
                break;
            }
        }
        s.balance += after ? -1 : 1;
    }
    if (n->prev != nullptr) {
        n->prev->next = n->next;
    } else {
        s.head = n->next;
    }
    if (n->next != nullptr) {
        n->next->prev = n->prev;
    }
    --s.count;
    rebalance(s);
}

// Replaces the window pixel at (xo, yo) by the one at (xn, yn).
void replace(med_state &s, int32_t xo, int32_t yo, int32_t xn, int32_t yn)
{
    med_node *n = table_slot(s, xo, yo);
    remove_node(s, n);
    _median2d_u16_add_val(s, xn, yn, n);
}

void median_list(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, int32_t ksize)
{
    auto *s = static_cast<med_state *>(alloc_or_exit(sizeof(med_state), "tq_median2d_u16"));
    s->src = src;
    s->w = w;
    s->h = h;
    s->ksize = ksize;
    s->r = (ksize - 1) / 2;
    const int32_t r = s->r;
    const std::size_t cells = (static_cast<std::size_t>(w) + 2 * static_cast<std::size_t>(r)) *
                              (static_cast<std::size_t>(h) + 2 * static_cast<std::size_t>(r));
    s->table =
        static_cast<med_node **>(alloc_or_exit(cells * sizeof(med_node *), "tq_median2d_u16"));
    s->pool = static_cast<med_node *>(alloc_or_exit(
        static_cast<std::size_t>(ksize) * static_cast<std::size_t>(ksize) * sizeof(med_node),
        "_median2d_u16_add_val"));

    for (int32_t y = -r; y <= r; ++y) {
        for (int32_t x = -r; x <= r; ++x) {
            _median2d_u16_add_val(*s, x, y, nullptr);
        }
    }
    auto emit = [&](int32_t x, int32_t y) {
        dst[static_cast<std::ptrdiff_t>(y) * w + x] = static_cast<uint16_t>(s->median->value);
    };
    emit(0, 0);
    int32_t x = 0;
    for (int32_t y = 0; y < h; ++y) {
        if (y > 0) {
            // Down one row: the top row leaves, the new bottom row enters.
            for (int32_t k = x - r; k <= x + r; ++k) {
                replace(*s, k, y - 1 - r, k, y + r);
            }
            emit(x, y);
        }
        const int32_t step = (y % 2 == 0) ? 1 : -1;
        const int32_t end = (y % 2 == 0) ? w - 1 : 0;
        while (x != end) {
            const int32_t leave = x - step * r;
            const int32_t enter = x + step * (r + 1);
            for (int32_t k = y - r; k <= y + r; ++k) {
                replace(*s, leave, k, enter, k);
            }
            x += step;
            emit(x, y);
        }
    }
    std::free(s->pool);
    std::free(s->table);
    std::free(s);
}

} // namespace
} // namespace pylox::filt

using namespace pylox::filt;

extern "C" {

PYLOX_API void tq_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    if (image_args_ok(dst, src, w, h, __func__)) {
        median3_vec(dst, src, w, h);
    }
}

PYLOX_API void tq_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    if (image_args_ok(dst, src, w, h, __func__)) {
        median5_vec(dst, src, w, h);
    }
}

PYLOX_API void tq_median2d_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t ksize)
{
    if (ksize == 3) {
        tq_median2d_u16_k3(dst, src, w, h);
        return;
    }
    if (ksize == 5) {
        tq_median2d_u16_k5(dst, src, w, h);
        return;
    }
    if (ksize % 2 == 0 || ksize < 3 || ksize >= 2 * static_cast<int64_t>(w) ||
        ksize >= 2 * static_cast<int64_t>(h)) {
        LOG_ERR("[%s]  wrong parameter:w/h/kernel=%d/%d/%d\n", w, h, ksize);
        return;
    }
    if (image_args_ok(dst, src, w, h, __func__)) {
        median_list(dst, src, w, h, ksize);
    }
}

} // extern "C"
