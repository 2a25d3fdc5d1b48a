// The inside test: a point is inside when it lies inside the outer ring and
// inside none of the holes, each ring by the even-odd rule.
//
// Every path applies the same crossing test to the same edges: the edge
// from vertex j to vertex i (j = i - 1, wrapping) is crossed by the
// rightward ray from (px, py) when (yi > py) != (yj > py) and the point
// lies left of the edge: (px - xi) (yj - yi) < (xj - xi) (py - yi) for an
// upward edge (yj > yi), with > for a downward one. That is the classic
// px < xi + (xj - xi) (py - yi) / (yj - yi) without the division. A point
// exactly on an edge is therefore classified the same way by the plain
// loop, the SIMD loop and the band index. Rings of fewer than three
// vertices contain nothing, and a NaN point is never inside.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace orvo::kernels {

struct Ring {
    const double* xy;
    std::ptrdiff_t size;
};

namespace detail {

inline bool crosses(double xi, double yi, double xj, double yj, double px, double py) {
    if ((yi > py) == (yj > py)) return false;
    const double lhs = (px - xi) * (yj - yi), rhs = (xj - xi) * (py - yi);
    return yj > yi ? lhs < rhs : lhs > rhs;
}

inline bool in_ring(const Ring& r, double px, double py) {
    if (r.size < 3) return false;
    bool inside = false;
    for (std::ptrdiff_t i = 0, j = r.size - 1; i < r.size; j = i++)
        inside ^= crosses(r.xy[2 * i], r.xy[2 * i + 1], r.xy[2 * j], r.xy[2 * j + 1], px, py);
    return inside;
}

inline bool inside_plain(const Ring& outer, const std::vector<Ring>& holes, double px, double py) {
    if (!in_ring(outer, px, py)) return false;
    for (const Ring& h : holes)
        if (in_ring(h, px, py)) return false;
    return true;
}

inline void rings_plain(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end, const Ring& outer,
                        const std::vector<Ring>& holes, bool* out) {
    for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = inside_plain(outer, holes, x[2 * i], x[2 * i + 1]);
}

// Parity of one ring for four points at once (all-ones lanes are odd).
__attribute__((target("avx2"))) inline __m256d ring_parity_avx2(const Ring& r, __m256d px, __m256d py) {
    __m256d parity = _mm256_setzero_pd();
    if (r.size < 3) return parity;
    for (std::ptrdiff_t i = 0, j = r.size - 1; i < r.size; j = i++) {
        const __m256d xi = _mm256_broadcast_sd(r.xy + 2 * i), yi = _mm256_broadcast_sd(r.xy + 2 * i + 1);
        const __m256d xj = _mm256_broadcast_sd(r.xy + 2 * j), yj = _mm256_broadcast_sd(r.xy + 2 * j + 1);
        const __m256d straddles = _mm256_xor_pd(_mm256_cmp_pd(yi, py, _CMP_GT_OQ), _mm256_cmp_pd(yj, py, _CMP_GT_OQ));
        const __m256d lhs = _mm256_mul_pd(_mm256_sub_pd(px, xi), _mm256_sub_pd(yj, yi));
        const __m256d rhs = _mm256_mul_pd(_mm256_sub_pd(xj, xi), _mm256_sub_pd(py, yi));
        const __m256d left = _mm256_blendv_pd(_mm256_cmp_pd(lhs, rhs, _CMP_GT_OQ), _mm256_cmp_pd(lhs, rhs, _CMP_LT_OQ),
                                              _mm256_cmp_pd(yj, yi, _CMP_GT_OQ));
        parity = _mm256_xor_pd(parity, _mm256_and_pd(straddles, left));
    }
    return parity;
}

__attribute__((target("avx2"))) inline void rings_avx2(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end,
                                                       const Ring& outer, const std::vector<Ring>& holes, bool* out) {
    std::ptrdiff_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const double* p = x + 2 * i;
        const __m256d px = _mm256_set_pd(p[6], p[4], p[2], p[0]);
        const __m256d py = _mm256_set_pd(p[7], p[5], p[3], p[1]);
        __m256d inside = ring_parity_avx2(outer, px, py);
        for (const Ring& h : holes) {
            if (_mm256_movemask_pd(inside) == 0) break;
            inside = _mm256_andnot_pd(ring_parity_avx2(h, px, py), inside);
        }
        const int mask = _mm256_movemask_pd(inside);
        for (int k = 0; k < 4; ++k) out[i + k] = (mask >> k) & 1;
    }
    rings_plain(x, i, end, outer, holes, out);
}

// ---------------------------------------------------------------------------
// Band index for large rings: the y-range of all rings is cut into bands,
// and each band lists the edges whose y-range meets it, grouped by ring
// (outer first). A point tests only the edges of its own band. The band of
// a y value is a monotonic function of y, and an edge is listed in every
// band from that of its lower end to that of its upper end, so every edge
// that a point's ray can cross is in the point's band.

struct Edge {
    double xi, yi, xj, yj;
    std::int32_t ring;
};

class BandIndex {
public:
    BandIndex(const Ring& outer, const std::vector<Ring>& holes) {
        std::vector<Edge> edges;
        add_ring(outer, 0, edges);
        for (size_t h = 0; h < holes.size(); ++h) add_ring(holes[h], static_cast<std::int32_t>(h + 1), edges);
        y0_ = std::numeric_limits<double>::infinity();
        y1_ = -y0_;
        for (const Edge& e : edges) {
            y0_ = std::min({y0_, e.yi, e.yj});
            y1_ = std::max({y1_, e.yi, e.yj});
        }
        if (edges.empty() || !(y1_ > y0_) || !std::isfinite(y1_ - y0_)) {
            bands_ = 0;
            return;
        }
        // About one edge per band, fewer bands when long edges would be
        // listed in too many of them.
        std::ptrdiff_t bands = std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(edges.size()));
        for (;;) {
            scale_ = static_cast<double>(bands) / (y1_ - y0_);
            bands_ = bands;
            double listed = 0;
            for (const Edge& e : edges) listed += static_cast<double>(band(std::max(e.yi, e.yj)) - band(std::min(e.yi, e.yj)) + 1);
            if (listed <= 8.0 * static_cast<double>(edges.size()) || bands == 1) break;
            bands = std::max<std::ptrdiff_t>(1, bands / 4);
        }
        start_.assign(static_cast<size_t>(bands_) + 1, 0);
        for (const Edge& e : edges)
            for (std::ptrdiff_t b = band(std::min(e.yi, e.yj)); b <= band(std::max(e.yi, e.yj)); ++b)
                ++start_[static_cast<size_t>(b) + 1];
        for (size_t b = 1; b < start_.size(); ++b) start_[b] += start_[b - 1];
        listed_.resize(start_.back());
        std::vector<size_t> fill(start_.begin(), start_.end() - 1);
        // Edges are in ring order already, so each band's list stays grouped by ring.
        for (const Edge& e : edges)
            for (std::ptrdiff_t b = band(std::min(e.yi, e.yj)); b <= band(std::max(e.yi, e.yj)); ++b)
                listed_[fill[static_cast<size_t>(b)]++] = e;
    }

    bool inside(double px, double py) const {
        if (bands_ == 0 || !(py >= y0_ && py <= y1_) || !std::isfinite(px)) return false;
        const std::ptrdiff_t b = band(py);
        bool parity = false, in_outer = false;
        std::int32_t ring = 0;
        for (size_t k = start_[static_cast<size_t>(b)]; k < start_[static_cast<size_t>(b) + 1]; ++k) {
            const Edge& e = listed_[k];
            if (e.ring != ring) {
                if (!close_ring(ring, parity, in_outer)) return false;
                ring = e.ring;
                parity = false;
            }
            // The crossing test without branches: both sides are cheap and
            // the outcome is a coin toss for the branch predictor.
            const bool straddles = (e.yi > py) != (e.yj > py);
            const double lhs = (px - e.xi) * (e.yj - e.yi), rhs = (e.xj - e.xi) * (py - e.yi);
            parity ^= straddles & ((e.yj > e.yi) ? (lhs < rhs) : (lhs > rhs));
        }
        return close_ring(ring, parity, in_outer) && in_outer;
    }

    void run(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end, bool* out) const {
        for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = inside(x[2 * i], x[2 * i + 1]);
    }

private:
    // Takes in the parity of a finished ring: false when the point turned
    // out to be outside (not in the outer ring, or in a hole).
    static bool close_ring(std::int32_t ring, bool parity, bool& in_outer) {
        if (ring == 0) {
            in_outer = parity;
            return parity;
        }
        return !parity;
    }

    // Truncation is the floor here: the value is positive when it is cast.
    std::ptrdiff_t band(double y) const {
        const double b = (y - y0_) * scale_;
        if (!(b > 0.0)) return 0;
        return b >= static_cast<double>(bands_ - 1) ? bands_ - 1 : static_cast<std::ptrdiff_t>(b);
    }

    // The edges of one ring; horizontal edges are left out, no ray crosses them.
    static void add_ring(const Ring& r, std::int32_t id, std::vector<Edge>& edges) {
        if (r.size < 3) return;
        for (std::ptrdiff_t i = 0, j = r.size - 1; i < r.size; j = i++) {
            const Edge e{r.xy[2 * i], r.xy[2 * i + 1], r.xy[2 * j], r.xy[2 * j + 1], id};
            if (e.yi != e.yj) edges.push_back(e);
        }
    }

    double y0_ = 0, y1_ = 0, scale_ = 0;
    std::ptrdiff_t bands_ = 0;
    std::vector<size_t> start_;
    std::vector<Edge> listed_;
};

}  // namespace detail

// Whether the band index pays for itself over testing every edge. Rings
// with non-finite vertices, or whose y-range overflows (the index could
// not cut it into bands), are left to the plain loops.
inline bool use_band_index(std::ptrdiff_t n, const Ring& outer, const std::vector<Ring>& holes) {
    std::ptrdiff_t edges = outer.size;
    for (const Ring& h : holes) edges += h.size;
    if (edges < 48 || n < 16) return false;
    auto finite = [](const Ring& r) { return std::all_of(r.xy, r.xy + 2 * r.size, [](double v) { return std::isfinite(v); }); };
    if (!finite(outer) || !std::all_of(holes.begin(), holes.end(), finite)) return false;
    double y0 = std::numeric_limits<double>::infinity(), y1 = -y0;
    auto extend = [&](const Ring& r) {
        for (std::ptrdiff_t i = 0; i < r.size; ++i) y0 = std::min(y0, r.xy[2 * i + 1]), y1 = std::max(y1, r.xy[2 * i + 1]);
    };
    extend(outer);
    for (const Ring& h : holes) extend(h);
    return std::isfinite(y1 - y0);
}

}  // namespace orvo::kernels
