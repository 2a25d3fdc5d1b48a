// The segment kernel: for each query point, the vector from the nearest
// point of the segment whose difference d has the smallest d^T M d.
//
// Every path computes each (point, segment) pair with exactly the same
// operations as `evaluate` below, in the order the geometries state it with
// numpy (w = x - p1, t = clip((w . v) / vdv, 0, 1), d = x - (p1 + t v)), and
// keeps the smallest q with ties to the lowest segment index. So the SIMD
// loop, the tree search and the threads all return the plain loop's rows
// bit for bit. The build disables floating-point contraction for that.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace orvo::kernels {

struct Metric {
    double m00, m01, m10, m11;
    double form(double dx, double dy) const { return dx * (m00 * dx + m01 * dy) + dy * (m10 * dx + m11 * dy); }
};

// Segment s starts at p1[2s], p1[2s + 1], has vector v[2s], v[2s + 1] and
// squared length vdv[s].
struct Segments {
    const double* p1;
    const double* v;
    const double* vdv;
    std::ptrdiff_t count;
};

namespace detail {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The clamp as `t < 0 ? 0 : (t > 1 ? 1 : t)`, written so that a NaN stays NaN
// in the scalar and the SIMD form alike.
inline double clamp01(double t) {
    t = t > 1.0 ? 1.0 : t;
    return t < 0.0 ? 0.0 : t;
}

struct Pair {
    double q, dx, dy;
};

inline Pair evaluate(double px, double py, const Segments& g, std::ptrdiff_t s, const Metric& m) {
    const double ax = g.p1[2 * s], ay = g.p1[2 * s + 1], vx = g.v[2 * s], vy = g.v[2 * s + 1];
    const double t = clamp01(((px - ax) * vx + (py - ay) * vy) / g.vdv[s]);
    const double dx = px - (ax + t * vx), dy = py - (ay + t * vy);
    return {m.form(dx, dy), dx, dy};
}

// The best segment so far: smaller q wins, equal q the lower index.
struct Best {
    double q = kInf;
    std::ptrdiff_t index = 0;
    void offer(double q_, std::ptrdiff_t s) {
        if (q_ < q || (q_ == q && s < index)) {
            q = q_;
            index = s;
        }
    }
};

inline void write_row(double px, double py, const Segments& g, std::ptrdiff_t s, const Metric& m, double* out) {
    if (!std::isfinite(px) || !std::isfinite(py)) {
        out[0] = out[1] = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    const Pair d = evaluate(px, py, g, s, m);
    out[0] = d.dx;
    out[1] = d.dy;
}

// The plain loop: every segment for every point.
inline void scan_plain(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end, const Segments& g,
                       const Metric& m, double* out) {
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const double px = x[2 * i], py = x[2 * i + 1];
        double best = kInf;
        std::ptrdiff_t index = 0;
        for (std::ptrdiff_t s = 0; s < g.count; ++s) {
            const double q = evaluate(px, py, g, s, m).q;
            if (q < best) {
                best = q;
                index = s;
            }
        }
        write_row(px, py, g, index, m, out + 2 * i);
    }
}

// AVX2, four query points per vector and two vectors per step: each lane
// runs the plain loop for its point, so the choice per point is the same.
__attribute__((target("avx2"))) inline void scan_avx2(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end,
                                                      const Segments& g, const Metric& m, double* out) {
    constexpr std::ptrdiff_t kLanes = 8;
    std::ptrdiff_t i = begin;
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    const __m256d m00 = _mm256_set1_pd(m.m00), m01 = _mm256_set1_pd(m.m01);
    const __m256d m10 = _mm256_set1_pd(m.m10), m11 = _mm256_set1_pd(m.m11);
    alignas(32) double index_out[kLanes];
    for (; i + kLanes <= end; i += kLanes) {
        __m256d px[2], py[2], best[2], index[2];
        for (int h = 0; h < 2; ++h) {
            const double* p = x + 2 * (i + 4 * h);
            px[h] = _mm256_set_pd(p[6], p[4], p[2], p[0]);
            py[h] = _mm256_set_pd(p[7], p[5], p[3], p[1]);
            best[h] = _mm256_set1_pd(kInf);
            index[h] = zero;
        }
        for (std::ptrdiff_t s = 0; s < g.count; ++s) {
            const __m256d ax = _mm256_broadcast_sd(g.p1 + 2 * s), ay = _mm256_broadcast_sd(g.p1 + 2 * s + 1);
            const __m256d vx = _mm256_broadcast_sd(g.v + 2 * s), vy = _mm256_broadcast_sd(g.v + 2 * s + 1);
            const __m256d vdv = _mm256_broadcast_sd(g.vdv + s);
            const __m256d sv = _mm256_set1_pd(static_cast<double>(s));
            for (int h = 0; h < 2; ++h) {
                const __m256d dot = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(px[h], ax), vx),
                                                  _mm256_mul_pd(_mm256_sub_pd(py[h], ay), vy));
                __m256d t = _mm256_div_pd(dot, vdv);
                t = _mm256_blendv_pd(t, one, _mm256_cmp_pd(t, one, _CMP_GT_OQ));
                t = _mm256_blendv_pd(t, zero, _mm256_cmp_pd(t, zero, _CMP_LT_OQ));
                const __m256d dx = _mm256_sub_pd(px[h], _mm256_add_pd(ax, _mm256_mul_pd(t, vx)));
                const __m256d dy = _mm256_sub_pd(py[h], _mm256_add_pd(ay, _mm256_mul_pd(t, vy)));
                const __m256d q = _mm256_add_pd(
                    _mm256_mul_pd(dx, _mm256_add_pd(_mm256_mul_pd(m00, dx), _mm256_mul_pd(m01, dy))),
                    _mm256_mul_pd(dy, _mm256_add_pd(_mm256_mul_pd(m10, dx), _mm256_mul_pd(m11, dy))));
                const __m256d better = _mm256_cmp_pd(q, best[h], _CMP_LT_OQ);
                best[h] = _mm256_blendv_pd(best[h], q, better);
                index[h] = _mm256_blendv_pd(index[h], sv, better);
            }
        }
        _mm256_store_pd(index_out, index[0]);
        _mm256_store_pd(index_out + 4, index[1]);
        for (std::ptrdiff_t k = 0; k < kLanes; ++k)
            write_row(x[2 * (i + k)], x[2 * (i + k) + 1], g, static_cast<std::ptrdiff_t>(index_out[k]), m,
                      out + 2 * (i + k));
    }
    scan_plain(x, i, end, g, m, out);
}

inline bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

// ---------------------------------------------------------------------------
// Tree search for many segments.
//
// Leaves are runs of consecutive segments (consecutive edges of a line or a
// ring lie close together); the leaves are ordered along a Morton curve and
// grouped level by level, kFan at a time, into a tree of boxes. A query descends
// nearest box first and skips every box whose lower bound of d^T M d
// exceeds the best q found, so only a handful of leaves are scanned.

struct Box {
    double x0, y0, x1, y1;
    void add(double x, double y) {
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
    }
    void add(const Box& b) {
        add(b.x0, b.y0);
        add(b.x1, b.y1);
    }
    static Box empty() { return {kInf, kInf, -kInf, -kInf}; }
};

// A box stored in single precision, rounded outwards so that it still
// contains everything the double box did: four of them fill a cache line.
struct SmallBox {
    float x0, y0, x1, y1;
    static float down(double v) {
        const float f = static_cast<float>(v);
        return static_cast<double>(f) > v ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
    }
    static float up(double v) {
        const float f = static_cast<float>(v);
        return static_cast<double>(f) < v ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
    }
    static SmallBox of(const Box& b) { return {down(b.x0), down(b.y0), up(b.x1), up(b.y1)}; }
    Box wide() const { return {x0, y0, x1, y1}; }
};

// The smallest d^T A d over d = (px, py) - p with p in the box, for the
// symmetric positive definite A = [[a, b], [b, c]]. The minimum of a convex
// form over a box not containing its centre lies on the box's boundary, so
// it is the least of the four edge minima, each found in closed form.
struct Bound {
    double a, b, c, inv_a, inv_c;

    Bound(double a_, double b_, double c_) : a(a_), b(b_), c(c_), inv_a(1.0 / a_), inv_c(1.0 / c_) {}

    // min over u in [lo, hi] of along * u^2 + 2 b fixed u + across * fixed^2
    double edge(double fixed, double lo, double hi, double along, double inv_along, double across) const {
        const double u = std::clamp(-b * fixed * inv_along, lo, hi);
        return (along * u + 2.0 * b * fixed) * u + across * fixed * fixed;
    }

    double operator()(const Box& box, double px, double py) const {
        const double ux0 = px - box.x1, ux1 = px - box.x0, uy0 = py - box.y1, uy1 = py - box.y0;
        const bool in_x = ux0 <= 0.0 && ux1 >= 0.0, in_y = uy0 <= 0.0 && uy1 >= 0.0;
        if (in_x && in_y) return 0.0;
        // Only the edges facing the point can hold the minimum: along an
        // axis where the point lies beyond the box, the nearer side.
        double q = kInf;
        if (!in_x) q = edge(ux0 > 0.0 ? ux0 : ux1, uy0, uy1, c, inv_c, a);
        if (!in_y) q = std::min(q, edge(uy0 > 0.0 ? uy0 : uy1, ux0, ux1, a, inv_a, c));
        return q;
    }
};

inline std::uint32_t spread_bits(std::uint32_t v) {
    v &= 0xffff;
    v = (v | (v << 8)) & 0x00ff00ff;
    v = (v | (v << 4)) & 0x0f0f0f0f;
    v = (v | (v << 2)) & 0x33333333;
    return (v | (v << 1)) & 0x55555555;
}

// The grid cell (0..65535) of a position scaled to [0, 1]. Near the ends of
// the double range the scaling can overflow to infinity or NaN; those take
// an end cell, since the order only groups nearby segments into leaves.
inline std::uint32_t cell(double t) {
    const double c = 65535.0 * t;
    return c > 0.0 ? static_cast<std::uint32_t>(std::min(c, 65535.0)) : 0;
}

class SegmentTree {
public:
    static constexpr std::ptrdiff_t kLeaf = 8;
    static constexpr size_t kFan = 4;  // children per node: their four boxes share a cache line
    static constexpr size_t kMaxDepth = 40;

    // `slack` is the relative margin by which a box bound must exceed the
    // best q before the box is skipped.
    // `ids`, when given, names segment s ids[s] in every answer of `search`
    // (increasing with s, so that ties still go to the lower segment);
    // `nearest` and `run` serve trees built without them.
    SegmentTree(const Segments& g, const Metric& m, double slack, const std::ptrdiff_t* ids = nullptr)
        : g_(g), m_(m), bound_(m.m00, 0.5 * (m.m01 + m.m10), m.m11), discount_(1.0 - slack) {
        // Segments in Morton order of their midpoints, so that each leaf
        // holds segments that lie close together whatever their indices.
        Box all = Box::empty();
        for (std::ptrdiff_t s = 0; s < g.count; ++s) {
            all.add(g.p1[2 * s], g.p1[2 * s + 1]);
            all.add(g.p1[2 * s] + g.v[2 * s], g.p1[2 * s + 1] + g.v[2 * s + 1]);
        }
        const double w = std::max(all.x1 - all.x0, 1e-300), h = std::max(all.y1 - all.y0, 1e-300);
        std::vector<std::pair<std::uint32_t, std::ptrdiff_t>> keyed(static_cast<size_t>(g.count));
        for (std::ptrdiff_t s = 0; s < g.count; ++s) {
            const double mx = g.p1[2 * s] + 0.5 * g.v[2 * s], my = g.p1[2 * s + 1] + 0.5 * g.v[2 * s + 1];
            keyed[static_cast<size_t>(s)] = {spread_bits(cell((mx - all.x0) / w)) | (spread_bits(cell((my - all.y0) / h)) << 1), s};
        }
        std::sort(keyed.begin(), keyed.end());
        // The segments copied in leaf order, so that a leaf is one short
        // contiguous read.
        order_.resize(keyed.size());
        for (auto* column : {&sx_, &sy_, &svx_, &svy_, &svdv_}) column->resize(keyed.size() + kLeaf);
        sorted_p1_.resize(2 * keyed.size());
        sorted_v_.resize(2 * keyed.size());
        sorted_vdv_.resize(keyed.size());
        for (size_t k = 0; k < keyed.size(); ++k) {
            const std::ptrdiff_t s = keyed[k].second;
            order_[k] = ids ? ids[s] : s;
            sorted_p1_[2 * k] = g.p1[2 * s];
            sorted_p1_[2 * k + 1] = g.p1[2 * s + 1];
            sorted_v_[2 * k] = g.v[2 * s];
            sorted_v_[2 * k + 1] = g.v[2 * s + 1];
            sorted_vdv_[k] = g.vdv[s];
            sx_[k] = g.p1[2 * s], sy_[k] = g.p1[2 * s + 1], svx_[k] = g.v[2 * s], svy_[k] = g.v[2 * s + 1];
            svdv_[k] = g.vdv[s];
        }
        // Pad the last leaf with copies of its first segment: a full vector
        // can then be read, and a copy never beats the original's index.
        for (size_t k = keyed.size(); k < keyed.size() + kLeaf; ++k) {
            const size_t first = keyed.size() - 1 - (keyed.size() - 1) % kLeaf;
            sx_[k] = sx_[first], sy_[k] = sy_[first], svx_[k] = svx_[first], svy_[k] = svy_[first];
            svdv_[k] = svdv_[first];
        }
        sorted_ = {sorted_p1_.data(), sorted_v_.data(), sorted_vdv_.data(), g.count};
        // Nearest points computed in floating point may stray from their
        // segment by a few units in the last place: widen every box by that.
        const double scale = std::max({std::fabs(all.x0), std::fabs(all.y0), std::fabs(all.x1), std::fabs(all.y1)});
        const double widen = 16.0 * std::numeric_limits<double>::epsilon() * scale;
        const std::ptrdiff_t leaves = (g.count + kLeaf - 1) / kLeaf;
        std::vector<Box> level(static_cast<size_t>(leaves), Box::empty());
        for (std::ptrdiff_t k = 0; k < g.count; ++k) {
            Box& b = level[static_cast<size_t>(k / kLeaf)];
            b.add(sorted_p1_[2 * k], sorted_p1_[2 * k + 1]);
            b.add(sorted_p1_[2 * k] + sorted_v_[2 * k], sorted_p1_[2 * k + 1] + sorted_v_[2 * k + 1]);
        }
        for (Box& b : level) b = {b.x0 - widen, b.y0 - widen, b.x1 + widen, b.y1 + widen};
        for (;;) {
            levels_.emplace_back();
            for (const Box& b : level) levels_.back().push_back(SmallBox::of(b));
            if (level.size() == 1) break;
            std::vector<Box> above((level.size() + kFan - 1) / kFan, Box::empty());
            for (size_t k = 0; k < level.size(); ++k) above[k / kFan].add(level[k]);
            level = std::move(above);
        }
    }

    // The best segment for one point; `hint` is a segment to try first (the
    // previous point's answer), which makes the first bound tight.
    std::ptrdiff_t nearest(double px, double py, std::ptrdiff_t hint) const {
        Best best;
        best.offer(evaluate(px, py, g_, hint, m_).q, hint);
        search(px, py, best, [](std::ptrdiff_t) { return false; });
        return best.index;
    }

    // Offers `best` every segment that can beat it, except those `skip`
    // refuses (it sees segment ids).
    template <class Skip>
    void search(double px, double py, Best& best, Skip&& skip) const {
        // Each stacked box carries the bound computed when it was pushed;
        // the best q may have dropped below it since. A path holds at most
        // kFan - 1 pending siblings per level, so depth * kFan items suffice;
        // kMaxDepth levels would hold kLeaf * kFan^kMaxDepth segments, more
        // than any index can be given.
        struct Item {
            double bound;
            int level;
            size_t node;
        };
        Item stack[kFan * kMaxDepth];
        int top = 0;
        stack[top++] = {0.0, static_cast<int>(levels_.size()) - 1, 0};
        while (top > 0) {
            const Item it = stack[--top];
            if (it.bound * discount_ > best.q) continue;
            if (it.level == 0) {
                scan_leaf(static_cast<std::ptrdiff_t>(it.node) * kLeaf, px, py, best, skip);
                continue;
            }
            // The children nearest first: pushed farthest first.
            const std::vector<SmallBox>& below = levels_[static_cast<size_t>(it.level - 1)];
            Item children[kFan];
            size_t count = 0;
            const size_t first = kFan * it.node, last = std::min(below.size(), first + kFan);
            double bounds[kFan];
            if (have_avx2() && last - first == kFan) child_bounds_avx2(&below[first], px, py, bounds);
            else for (size_t child = first; child < last; ++child) bounds[child - first] = bound_(below[child].wide(), px, py);
            for (size_t child = first; child < last; ++child) {
                const double b = bounds[child - first];
                if (b * discount_ > best.q) continue;
                size_t k = count++;
                for (; k > 0 && children[k - 1].bound < b; --k) children[k] = children[k - 1];
                children[k] = {b, it.level - 1, child};
            }
            for (size_t k = 0; k < count; ++k) stack[top++] = children[k];
        }
    }

    // Lists the leaves that can hold a segment with q at most `limit` for
    // some point of `tile` (a finite box), at most `most` of them; false
    // when there are more. Together with scan_leaves it answers a run of
    // neighbouring points, each exactly as `search` would, with one
    // descent instead of one per point.
    bool leaves_near(const Box& tile, double limit, size_t most, std::vector<std::int32_t>& out) const {
        out.clear();
        struct Item {
            int level;
            size_t node;
        };
        Item stack[kFan * kMaxDepth];  // bounded as in search()
        int top = 0;
        stack[top++] = {static_cast<int>(levels_.size()) - 1, 0};
        const double tile_scale = std::max({std::fabs(tile.x0), std::fabs(tile.y0), std::fabs(tile.x1), std::fabs(tile.y1)});
        while (top > 0) {
            const Item it = stack[--top];
            const Box b = levels_[static_cast<size_t>(it.level)][it.node].wide();
            // The box of every difference p - s (p in the tile, s in the
            // node's box), widened by the subtractions' rounding.
            const double w = 4.0 * std::numeric_limits<double>::epsilon() *
                             std::max({tile_scale, std::fabs(b.x0), std::fabs(b.y0), std::fabs(b.x1), std::fabs(b.y1)});
            const Box d{b.x0 - tile.x1 - w, b.y0 - tile.y1 - w, b.x1 - tile.x0 + w, b.y1 - tile.y0 + w};
            if (bound_(d, 0.0, 0.0) * discount_ > limit) continue;
            if (it.level == 0) {
                if (out.size() == most) return false;
                out.push_back(static_cast<std::int32_t>(it.node));
                continue;
            }
            const std::vector<SmallBox>& below = levels_[static_cast<size_t>(it.level - 1)];
            for (size_t child = kFan * it.node; child < std::min(below.size(), kFan * it.node + kFan); ++child)
                stack[top++] = {it.level - 1, child};
        }
        return true;
    }

    // Offers `best` every segment of the listed leaves that can beat it.
    template <class Skip>
    void scan_leaves(const std::vector<std::int32_t>& leaves, double px, double py, Best& best, Skip&& skip) const {
        for (const std::int32_t leaf : leaves) {
            if (bound_(levels_[0][static_cast<size_t>(leaf)].wide(), px, py) * discount_ > best.q) continue;
            scan_leaf(static_cast<std::ptrdiff_t>(leaf) * kLeaf, px, py, best, skip);
        }
    }

    void run(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end, double* out) const {
        std::ptrdiff_t hint = 0;
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const double px = x[2 * i], py = x[2 * i + 1];
            if (!std::isfinite(px) || !std::isfinite(py)) {
                write_row(px, py, g_, 0, m_, out + 2 * i);
                continue;
            }
            hint = nearest(px, py, hint);
            write_row(px, py, g_, hint, m_, out + 2 * i);
        }
    }

private:
    template <class Skip>
    void scan_leaf(std::ptrdiff_t first, double px, double py, Best& best, Skip& skip) const {
        if (have_avx2()) return scan_leaf_avx2(first, px, py, best, skip);
        for (std::ptrdiff_t k = first; k < std::min(g_.count, first + kLeaf); ++k) {
            const double q = evaluate(px, py, sorted_, k, m_).q;
            const std::ptrdiff_t id = order_[static_cast<size_t>(k)];
            if (q <= best.q && !skip(id)) best.offer(q, id);
        }
    }

    // Bound::edge for four boxes.
    __attribute__((target("avx2"))) static __m256d edge_avx2(__m256d fixed, __m256d lo, __m256d hi, __m256d along,
                                                             __m256d inv_along, __m256d across, __m256d b) {
        const __m256d u0 = _mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_setzero_pd(), b), fixed), inv_along);
        const __m256d u = _mm256_max_pd(_mm256_min_pd(u0, hi), lo);
        const __m256d two_b_fixed = _mm256_mul_pd(_mm256_add_pd(b, b), fixed);
        return _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(along, u), two_b_fixed), u),
                             _mm256_mul_pd(_mm256_mul_pd(across, fixed), fixed));
    }

    // The bounds of four sibling boxes at once, with the scalar Bound's
    // arithmetic up to rounding (the margin `discount_` absorbs that).
    __attribute__((target("avx2"))) void child_bounds_avx2(const SmallBox* boxes, double px, double py,
                                                           double* out) const {
        const __m256 raw0 = _mm256_loadu_ps(&boxes[0].x0), raw1 = _mm256_loadu_ps(&boxes[2].x0);
        // Transpose four (x0, y0, x1, y1) boxes into four columns of doubles.
        alignas(32) float f[16];
        _mm256_store_ps(f, raw0);
        _mm256_store_ps(f + 8, raw1);
        const __m256d x0 = _mm256_set_pd(f[12], f[8], f[4], f[0]), y0 = _mm256_set_pd(f[13], f[9], f[5], f[1]);
        const __m256d x1 = _mm256_set_pd(f[14], f[10], f[6], f[2]), y1 = _mm256_set_pd(f[15], f[11], f[7], f[3]);
        const __m256d x = _mm256_set1_pd(px), y = _mm256_set1_pd(py), zero = _mm256_setzero_pd();
        const __m256d inf = _mm256_set1_pd(kInf);
        const __m256d ux0 = _mm256_sub_pd(x, x1), ux1 = _mm256_sub_pd(x, x0);
        const __m256d uy0 = _mm256_sub_pd(y, y1), uy1 = _mm256_sub_pd(y, y0);
        const __m256d in_x = _mm256_and_pd(_mm256_cmp_pd(ux0, zero, _CMP_LE_OQ), _mm256_cmp_pd(ux1, zero, _CMP_GE_OQ));
        const __m256d in_y = _mm256_and_pd(_mm256_cmp_pd(uy0, zero, _CMP_LE_OQ), _mm256_cmp_pd(uy1, zero, _CMP_GE_OQ));
        const __m256d a = _mm256_set1_pd(bound_.a), b = _mm256_set1_pd(bound_.b), c = _mm256_set1_pd(bound_.c);
        const __m256d fx = _mm256_blendv_pd(ux1, ux0, _mm256_cmp_pd(ux0, zero, _CMP_GT_OQ));
        const __m256d fy = _mm256_blendv_pd(uy1, uy0, _mm256_cmp_pd(uy0, zero, _CMP_GT_OQ));
        const __m256d qx = _mm256_blendv_pd(edge_avx2(fx, uy0, uy1, c, _mm256_set1_pd(bound_.inv_c), a, b), inf, in_x);
        const __m256d qy = _mm256_blendv_pd(edge_avx2(fy, ux0, ux1, a, _mm256_set1_pd(bound_.inv_a), c, b), inf, in_y);
        _mm256_storeu_pd(out, _mm256_blendv_pd(_mm256_min_pd(qx, qy), zero, _mm256_and_pd(in_x, in_y)));
    }

    // The q of a leaf's eight segments in two vectors, then the scalar
    // choice only when one of them can beat the best so far.
    template <class Skip>
    __attribute__((target("avx2"))) void scan_leaf_avx2(std::ptrdiff_t first, double px, double py, Best& best,
                                                        Skip& skip) const {
        const __m256d x = _mm256_set1_pd(px), y = _mm256_set1_pd(py), zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
        const __m256d m00 = _mm256_set1_pd(m_.m00), m01 = _mm256_set1_pd(m_.m01);
        const __m256d m10 = _mm256_set1_pd(m_.m10), m11 = _mm256_set1_pd(m_.m11);
        alignas(32) double q[kLeaf];
        // The smallest q of the leaf, NaN read as infinity (a NaN never wins).
        const __m256d inf = _mm256_set1_pd(kInf);
        __m256d low = inf;
        for (std::ptrdiff_t h = 0; h < kLeaf; h += 4) {
            const size_t k = static_cast<size_t>(first + h);
            const __m256d ax = _mm256_loadu_pd(&sx_[k]), ay = _mm256_loadu_pd(&sy_[k]);
            const __m256d vx = _mm256_loadu_pd(&svx_[k]), vy = _mm256_loadu_pd(&svy_[k]);
            const __m256d dot = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(x, ax), vx), _mm256_mul_pd(_mm256_sub_pd(y, ay), vy));
            __m256d t = _mm256_div_pd(dot, _mm256_loadu_pd(&svdv_[k]));
            t = _mm256_blendv_pd(t, one, _mm256_cmp_pd(t, one, _CMP_GT_OQ));
            t = _mm256_blendv_pd(t, zero, _mm256_cmp_pd(t, zero, _CMP_LT_OQ));
            const __m256d dx = _mm256_sub_pd(x, _mm256_add_pd(ax, _mm256_mul_pd(t, vx)));
            const __m256d dy = _mm256_sub_pd(y, _mm256_add_pd(ay, _mm256_mul_pd(t, vy)));
            const __m256d qv = _mm256_add_pd(
                _mm256_mul_pd(dx, _mm256_add_pd(_mm256_mul_pd(m00, dx), _mm256_mul_pd(m01, dy))),
                _mm256_mul_pd(dy, _mm256_add_pd(_mm256_mul_pd(m10, dx), _mm256_mul_pd(m11, dy))));
            _mm256_store_pd(q + h, qv);
            low = _mm256_min_pd(low, _mm256_blendv_pd(qv, inf, _mm256_cmp_pd(qv, qv, _CMP_UNORD_Q)));
        }
        const __m128d half = _mm_min_pd(_mm256_castpd256_pd128(low), _mm256_extractf128_pd(low, 1));
        if (_mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half))) > best.q) return;
        for (std::ptrdiff_t h = 0; h < std::min(kLeaf, g_.count - first); ++h) {
            const std::ptrdiff_t id = order_[static_cast<size_t>(first + h)];
            if (q[h] <= best.q && !skip(id)) best.offer(q[h], id);
        }
    }

    Segments g_;
    Metric m_;
    Bound bound_;
    double discount_;
    std::vector<std::vector<SmallBox>> levels_;  // leaves first, the root last
    std::vector<std::ptrdiff_t> order_;          // segment indices in leaf order
    std::vector<double> sorted_p1_, sorted_v_, sorted_vdv_;
    std::vector<double> sx_, sy_, svx_, svy_, svdv_;  // the same, one column each, padded to whole leaves
    Segments sorted_{};
};

// The tree's bounds hold when the metric's symmetric part is positive
// definite; its condition number scales the rounding margin. Returns the
// relative margin, or a negative value when the tree must not be used.
inline double tree_slack(const Metric& m) {
    const double a = m.m00, b = 0.5 * (m.m01 + m.m10), c = m.m11;
    if (!(a > 0.0) || !(c > 0.0) || !std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) return -1.0;
    const double det = a * c - b * b;
    if (!(det > 0.0)) return -1.0;
    const double mean = 0.5 * (a + c), spread = std::sqrt(0.25 * (a - c) * (a - c) + b * b);
    const double condition = (mean + spread) / (mean - spread);
    if (!std::isfinite(condition) || condition > 1e8) return -1.0;
    // Asymmetric parts cancel in d^T M d only up to rounding; so do the
    // terms of an ill-conditioned form: allow for both.
    const double asym = std::fabs(m.m01 - m.m10) / (mean - spread);
    return 1e-12 + 64.0 * std::numeric_limits<double>::epsilon() * (condition + asym);
}

}  // namespace detail

// Work estimate for the thread decision, in point-segment steps.
inline double segment_work(std::ptrdiff_t n, std::ptrdiff_t segments, bool tree) {
    return tree ? static_cast<double>(n) * 64.0 * std::log2(static_cast<double>(segments) + 2.0)
                : static_cast<double>(n) * static_cast<double>(segments);
}

// Whether the tree pays for itself: it costs about 50 point-segment steps
// per segment to build and answers a point in a few hundred steps. Its
// bounds need finite segments and a positive definite metric.
inline bool use_tree(std::ptrdiff_t n, const Segments& g, const Metric& m) {
    const double pairs = static_cast<double>(n) * static_cast<double>(g.count);
    if (g.count < 256 || pairs <= 50.0 * static_cast<double>(g.count) + 400.0 * static_cast<double>(n)) return false;
    if (detail::tree_slack(m) < 0.0) return false;
    auto finite = [](double v) { return std::isfinite(v); };
    return std::all_of(g.p1, g.p1 + 2 * g.count, finite) && std::all_of(g.v, g.v + 2 * g.count, finite);
}

}  // namespace orvo::kernels
