// Branch-free exact medians built from min/max operations, written once for
// any value type: plain 16-bit integers, vectors of them, or 64-bit words of
// 0/1 bits (min = AND, max = OR) with which the tests check a network on every
// 0/1 input at once. median_apply-inl.h applies them.
//
// The 25-value median is Batcher's odd-even merge sort on 32 wires, the last
// seven fed with +infinity, cut down to what the middle output needs: steps
// that would only move an infinity are turned into a renaming of slots, and
// steps whose results nothing reads are dropped (or reduced to their min or max
// half). What remains works on 25 slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace pylox::filt {

// One step of a selection network: slot lo receives min(lo, hi), slot hi
// receives max(lo, hi); a step whose other half is never read does only one.
struct net_step {
    enum kind_t : uint8_t { both, min_only, max_only } kind;
    uint8_t lo;
    uint8_t hi;
};

template <std::size_t Cap> struct select_net {
    net_step steps[Cap];
    std::size_t count = 0;
    uint8_t out = 0; // slot holding the selected value
};

// Network selecting the k-th smallest (0-based) of nin values, from Batcher's
// sorting network over Wires (a power of two) wires.
template <std::size_t Wires, std::size_t Cap>
constexpr select_net<Cap> make_select_net(std::size_t nin, std::size_t k)
{
    struct raw {
        std::size_t a, b;
    };
    raw ops[Cap] = {};
    std::size_t nops = 0;
    for (std::size_t p = 1; p < Wires; p += p) {
        for (std::size_t s = p; s >= 1; s /= 2) {
            for (std::size_t j = s % p; j + s < Wires; j += 2 * s) {
                for (std::size_t i = 0; i < s && i + j + s < Wires; ++i) {
                    if ((i + j) / (p * 2) == (i + j + s) / (p * 2)) {
                        ops[nops++] = {i + j, i + j + s};
                    }
                }
            }
        }
    }
    // Forward: wires at or past nin carry +infinity. A step between two
    // infinities, or with the infinity already above, changes nothing; a step
    // with the infinity below only exchanges the two wires, which becomes a
    // renaming of the slots they live in.
    bool inf[Wires] = {};
    std::size_t slot[Wires] = {};
    for (std::size_t i = 0; i < Wires; ++i) {
        inf[i] = i >= nin;
        slot[i] = i;
    }
    raw kept[Cap] = {};
    std::size_t nkept = 0;
    for (std::size_t i = 0; i < nops; ++i) {
        const std::size_t a = ops[i].a, b = ops[i].b;
        if (inf[b]) {
            continue;
        }
        if (inf[a]) {
            std::swap(slot[a], slot[b]);
            inf[a] = false;
            inf[b] = true;
            continue;
        }
        kept[nkept++] = {slot[a], slot[b]};
    }
    // Backward: keep only the halves of steps whose results are read later.
    bool need[Wires] = {};
    need[slot[k]] = true;
    net_step rev[Cap] = {};
    std::size_t nrev = 0;
    for (std::size_t i = nkept; i-- > 0;) {
        const std::size_t a = kept[i].a, b = kept[i].b;
        if (!need[a] && !need[b]) {
            continue;
        }
        const auto kind = need[a] && need[b] ? net_step::both
                          : need[a]          ? net_step::min_only
                                             : net_step::max_only;
        rev[nrev++] = {kind, static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
        need[a] = need[b] = true;
    }
    select_net<Cap> net{};
    for (std::size_t i = 0; i < nrev; ++i) {
        net.steps[i] = rev[nrev - 1 - i];
    }
    net.count = nrev;
    net.out = static_cast<uint8_t>(slot[k]);
    return net;
}

inline constexpr auto kMedian25 = make_select_net<32, 200>(25, 12);

} // namespace pylox::filt
