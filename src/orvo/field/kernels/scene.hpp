// The scene engine: one index over every member of a collection that
// answers, per query point and in one pass, the member nearest under each
// member's own metric, that member's repulsion vector and its squared
// distance.
//
// A member's answer is what its own query gives: a point's x - p, a
// multi-point's p_j - x towards its nearest point, the vector from the
// nearest point of a line's (or multi-polygon's) segments, and for a
// polygon the zero vector inside (the even-odd test of rings.hpp) and the
// nearest boundary vector outside. Its squared distance is v^T A v under
// the member's metric A. The scene's answer is the member with the smallest
// squared distance, ties to the lowest member index. Segments of members
// that share a metric sit in one tree (segments.hpp), and one search per
// tree with a shared best finds it, so the choice costs about what one
// segment query costs. All arithmetic is the members' own, operation for
// operation, so the answers equal theirs bit for bit.
//
// Plain C++ over flat buffers: no interpreter, no threads. The caller runs
// blocks of points wherever it likes and reads the block's floating-point
// flags afterwards.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "kernels/rings.hpp"
#include "kernels/segments.hpp"

namespace orvo::kernels {

enum class MemberKind : std::uint8_t {
    Point,       // vector x - p
    MultiPoint,  // vector p_j - x to the nearest p_j
    Segments,    // vector from the nearest segment point
    Polygon,     // zero inside its rings, else as Segments
    Zero,        // a line or polygon without segments: always (0, 0)
};

// What a member is made of. Segments and rings are copied by the scene;
// the points of Point and MultiPoint members are handed to every query,
// since callers move them by writing into their arrays.
struct MemberInput {
    MemberKind kind;
    Metric metric;
    Segments segments{};     // Segments, Polygon
    std::vector<Ring> rings;  // Polygon: the outer ring, then the holes
};

// The points of one Point or MultiPoint member for one query.
struct LivePoints {
    const double* xy = nullptr;
    std::ptrdiff_t count = 0;
};

// One row of the answer.
struct SceneRow {
    double d;             // the member's squared distance
    double vx, vy;        // its repulsion vector
    std::ptrdiff_t member;
    // d is a zero that another member may give with the other sign, so
    // that a minimum over the members' answers could keep either.
    bool signed_zero;
};

// Outcomes of a row that the caller must leave to the members' own steps.
enum class RowStatus { Done, NearTie };

class Scene {
public:
    // Throws std::bad_alloc; the inputs must satisfy `indexable` below.
    explicit Scene(const std::vector<MemberInput>& members) {
        const std::ptrdiff_t count = static_cast<std::ptrdiff_t>(members.size());
        members_.resize(members.size());
        std::ptrdiff_t next = 0;
        for (std::ptrdiff_t m = 0; m < count; ++m) {
            const MemberInput& in = members[static_cast<size_t>(m)];
            Member& out = members_[static_cast<size_t>(m)];
            out.kind = in.kind;
            out.metric = in.metric;
            out.first = next;
            const bool has_segments = in.kind == MemberKind::Segments || in.kind == MemberKind::Polygon;
            next += has_segments ? std::max<std::ptrdiff_t>(1, in.segments.count) : 1;
        }
        owner_.assign(static_cast<size_t>(next), 0);
        for (std::ptrdiff_t m = 0; m < count; ++m) {
            const Member& mem = members_[static_cast<size_t>(m)];
            const std::ptrdiff_t end = m + 1 < count ? members_[static_cast<size_t>(m + 1)].first : next;
            std::fill(owner_.begin() + mem.first, owner_.begin() + end, static_cast<std::int32_t>(m));
        }
        elements_ = next;
        build_groups(members);
        build_polygons(members);
    }

    std::ptrdiff_t size() const { return static_cast<std::ptrdiff_t>(members_.size()); }

    // Rows [begin, end) of the query points `x` (all finite). `live` holds
    // the points of Point and MultiPoint members (by member index). Writes
    // one SceneRow per point; stops at the first row it cannot answer
    // exactly and returns its status.
    RowStatus run(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end, const std::vector<LivePoints>& live,
                  SceneRow* out) const {
        // Points go in tiles of consecutive rows: for neighbouring points
        // (a raster row) one descent per tree lists the few leaves that can
        // matter to any of them, and each point scans only those.
        std::ptrdiff_t hint = -1;
        Tile tile;
        std::vector<std::int32_t> leaves;
        for (std::ptrdiff_t first = begin; first < end; first += kTile) {
            const std::ptrdiff_t count = std::min(kTile, end - first);
            for (std::ptrdiff_t k = 0; k < count; ++k)
                if (!start_row(x[2 * (first + k)], x[2 * (first + k) + 1], hint, live, tile, k)) return RowStatus::NearTie;
            for (const Group& g : groups_) search_group(g, x + 2 * first, count, tile, leaves);
            for (std::ptrdiff_t k = 0; k < count; ++k)
                finish_row(x[2 * (first + k)], x[2 * (first + k) + 1], live, tile, k, hint, out[first + k]);
        }
        return RowStatus::Done;
    }

    // One row for a query point with a NaN or infinite coordinate, where
    // every member's answer is computed: numpy's argmin over the squared
    // distances takes the first NaN, else the first smallest. Returns
    // false when a point-like member is involved (its arithmetic on such a
    // point is left to numpy, which reports it) or no member answers NaN.
    bool run_nonfinite(SceneRow& out) const {
        bool any_nan = false, have = false;
        for (std::ptrdiff_t m = 0; m < size(); ++m) {
            const Member& mem = members_[static_cast<size_t>(m)];
            if (mem.kind == MemberKind::Point || mem.kind == MemberKind::MultiPoint) return false;
            // Such a point is inside no ring, so polygons answer like lines.
            const bool zero = mem.kind == MemberKind::Zero;
            const double nan = std::numeric_limits<double>::quiet_NaN();
            const double vx = zero ? 0.0 : nan, vy = zero ? 0.0 : nan;
            const double d = mem.metric.form(vx, vy);
            if (std::isnan(d)) any_nan = true;
            if (!have || (std::isnan(d) && !std::isnan(out.d)) || (!std::isnan(out.d) && d < out.d)) {
                out = {d, vx, vy, m, false};
                have = true;
            }
        }
        return have && any_nan;
    }

private:
    static constexpr std::ptrdiff_t kTile = 16;
    static constexpr size_t kTileLeaves = 24;  // beyond this, each point descends on its own

    // The rows of a tile in progress: each point's best so far and the
    // polygons it is inside.
    struct Tile {
        detail::Best best[kTile];
        std::vector<std::int32_t> inside[kTile];
    };

    // Segments of the polygons a point is inside never count for it.
    struct Skip {
        const Scene& scene;
        const std::vector<std::int32_t>& inside;
        bool operator()(std::ptrdiff_t id) const {
            return !inside.empty() &&
                   std::find(inside.begin(), inside.end(), scene.owner_[static_cast<size_t>(id)]) != inside.end();
        }
    };

    struct Member {
        MemberKind kind;
        Metric metric;
        std::ptrdiff_t first;  // its first element id
    };

    // Members' segments that share one metric, in member order.
    struct Group {
        Metric metric;
        std::vector<double> p1, v, vdv;
        std::vector<std::ptrdiff_t> ids;
        std::unique_ptr<detail::SegmentTree> tree;  // absent when the metric does not allow one
    };

    // A polygon member's inside test and the box outside which it cannot
    // answer true (see polygons_containing).
    struct PolygonTest {
        std::int32_t member;
        double x0, y0, x1, y1;
        std::vector<std::vector<double>> rings;
        std::unique_ptr<detail::BandIndex> band;
        bool inside(double px, double py) const {
            if (band) return band->inside(px, py);
            if (!detail::in_ring({rings[0].data(), static_cast<std::ptrdiff_t>(rings[0].size() / 2)}, px, py)) return false;
            for (size_t h = 1; h < rings.size(); ++h)
                if (detail::in_ring({rings[h].data(), static_cast<std::ptrdiff_t>(rings[h].size() / 2)}, px, py))
                    return false;
            return true;
        }
    };

    // A point's polygons, its previous neighbour's segment and the
    // point-like members; false on a multi-point's near tie.
    bool start_row(double px, double py, std::ptrdiff_t hint, const std::vector<LivePoints>& live, Tile& tile,
                   std::ptrdiff_t k) const {
        std::vector<std::int32_t>& inside = tile.inside[k];
        detail::Best& best = tile.best[k];
        inside.clear();
        best = {};
        for (std::int32_t m : polygons_containing(px, py, inside)) best.offer(form_of_zero(m), members_[static_cast<size_t>(m)].first);
        if (hint >= 0 && !Skip{*this, inside}(hint)) best.offer(segment_q(px, py, hint), hint);
        for (const std::ptrdiff_t m : pointlike_) {
            const Member& mem = members_[static_cast<size_t>(m)];
            if (mem.kind == MemberKind::Zero) {
                best.offer(form_of_zero(m), mem.first);
                continue;
            }
            std::ptrdiff_t chosen = 0;
            const std::optional<double> d = point_member(mem, live[static_cast<size_t>(m)], px, py, chosen);
            if (!d) return false;
            best.offer(*d, mem.first);
        }
        return true;
    }

    // Offers the tile's points the group's segments that can beat their
    // best: through the leaves near the whole tile when they are few, else
    // by a search per point.
    void search_group(const Group& g, const double* x, std::ptrdiff_t count, Tile& tile,
                      std::vector<std::int32_t>& leaves) const {
        if (!g.tree) {
            for (std::ptrdiff_t k = 0; k < count; ++k) {
                Skip skip{*this, tile.inside[k]};
                scan_group(g, x[2 * k], x[2 * k + 1], tile.best[k], skip);
            }
            return;
        }
        auto search = [&](std::ptrdiff_t k) { g.tree->search(x[2 * k], x[2 * k + 1], tile.best[k], Skip{*this, tile.inside[k]}); };
        if (count < 3) {
            for (std::ptrdiff_t k = 0; k < count; ++k) search(k);
            return;
        }
        // The ends of the tile first, searched on their own: their nearest
        // segments, offered to the points between, make every point's best
        // (and so the tile's limit) tight.
        const std::ptrdiff_t last = count - 1;
        search(0);
        search(last);
        // The ends' answers, where they are segments of this group.
        std::ptrdiff_t ends[2];
        int found = 0;
        for (const std::ptrdiff_t id : {tile.best[0].index, tile.best[last].index})
            if (owner_group(id) == &g) ends[found++] = id;
        detail::Box box = detail::Box::empty();
        double limit = 0.0;
        for (std::ptrdiff_t k = 0; k < count; ++k) {
            const double px = x[2 * k], py = x[2 * k + 1];
            const Skip skip{*this, tile.inside[k]};
            for (int e = 0; k != 0 && k != last && e < found; ++e)
                if (!skip(ends[e])) tile.best[k].offer(segment_q(px, py, ends[e]), ends[e]);
            box.add(px, py);
            limit = std::max(limit, tile.best[k].q);
        }
        const bool shared = std::isfinite(limit) && g.tree->leaves_near(box, limit, kTileLeaves, leaves);
        for (std::ptrdiff_t k = 1; k < last; ++k) {
            if (!shared) {
                search(k);
                continue;
            }
            g.tree->scan_leaves(leaves, x[2 * k], x[2 * k + 1], tile.best[k], Skip{*this, tile.inside[k]});
        }
    }

    // The group holding segment `id`, or null when the id is not a segment.
    const Group* owner_group(std::ptrdiff_t id) const {
        const Member& mem = members_[static_cast<size_t>(owner_[static_cast<size_t>(id)])];
        if (mem.kind != MemberKind::Segments && mem.kind != MemberKind::Polygon) return nullptr;
        for (const Group& g : groups_)
            if (same(g.metric, mem.metric)) return &g;
        return nullptr;
    }

    // The row of a point whose best is final.
    void finish_row(double px, double py, const std::vector<LivePoints>& live, const Tile& tile, std::ptrdiff_t k,
                    std::ptrdiff_t& hint, SceneRow& row) const {
        const detail::Best& best = tile.best[k];
        const std::vector<std::int32_t>& inside = tile.inside[k];
        const std::ptrdiff_t m = owner_[static_cast<size_t>(best.index)];
        const Member& mem = members_[static_cast<size_t>(m)];
        row.member = m;
        if (std::find(inside.begin(), inside.end(), m) != inside.end() || mem.kind == MemberKind::Zero) {
            row.vx = row.vy = 0.0;
        } else if (mem.kind == MemberKind::Point || mem.kind == MemberKind::MultiPoint) {
            std::ptrdiff_t chosen = 0;
            point_member(mem, live[static_cast<size_t>(m)], px, py, chosen);
            const double* p = live[static_cast<size_t>(m)].xy + 2 * chosen;
            if (mem.kind == MemberKind::Point) row.vx = px - p[0], row.vy = py - p[1];
            else row.vx = p[0] - px, row.vy = p[1] - py;
        } else {
            hint = best.index;
            const detail::Pair e = detail::evaluate(px, py, segments_view(), best.index, mem.metric);
            row.vx = e.dx;
            row.vy = e.dy;
        }
        row.d = mem.metric.form(row.vx, row.vy);
        // With positive definite metrics a zero d comes from a zero
        // vector; a negative zero in it needs a -0.0 coordinate.
        // A multi-point's p - x is -0.0 only where p holds one (the
        // caller marks those rows).
        row.signed_zero = row.d == 0.0 && ((px == 0.0 && std::signbit(px)) || (py == 0.0 && std::signbit(py)));
    }

    static bool same(const Metric& a, const Metric& b) {
        return std::bit_cast<std::uint64_t>(a.m00) == std::bit_cast<std::uint64_t>(b.m00) &&
               std::bit_cast<std::uint64_t>(a.m01) == std::bit_cast<std::uint64_t>(b.m01) &&
               std::bit_cast<std::uint64_t>(a.m10) == std::bit_cast<std::uint64_t>(b.m10) &&
               std::bit_cast<std::uint64_t>(a.m11) == std::bit_cast<std::uint64_t>(b.m11);
    }

    Segments segments_view() const { return {all_p1_.data(), all_v_.data(), all_vdv_.data(), elements_}; }

    void build_groups(const std::vector<MemberInput>& members) {
        all_p1_.assign(2 * static_cast<size_t>(elements_), 0.0);
        all_v_.assign(2 * static_cast<size_t>(elements_), 0.0);
        all_vdv_.assign(static_cast<size_t>(elements_), 1.0);
        for (size_t m = 0; m < members.size(); ++m) {
            const MemberInput& in = members[m];
            const bool has_segments = in.kind == MemberKind::Segments || in.kind == MemberKind::Polygon;
            if (!has_segments) {
                pointlike_.push_back(static_cast<std::ptrdiff_t>(m));
                continue;
            }
            Group* g = nullptr;
            for (Group& candidate : groups_)
                if (same(candidate.metric, in.metric)) g = &candidate;
            if (g == nullptr) g = &groups_.emplace_back(Group{in.metric, {}, {}, {}, {}, {}});
            const std::ptrdiff_t first = members_[m].first;
            for (std::ptrdiff_t s = 0; s < in.segments.count; ++s) {
                const size_t id = static_cast<size_t>(first + s);
                for (int k = 0; k < 2; ++k) {
                    all_p1_[2 * id + k] = in.segments.p1[2 * s + k];
                    all_v_[2 * id + k] = in.segments.v[2 * s + k];
                    g->p1.push_back(in.segments.p1[2 * s + k]);
                    g->v.push_back(in.segments.v[2 * s + k]);
                }
                all_vdv_[id] = in.segments.vdv[s];
                g->vdv.push_back(in.segments.vdv[s]);
                g->ids.push_back(first + static_cast<std::ptrdiff_t>(s));
            }
        }
        for (Group& g : groups_) {
            const Segments segs{g.p1.data(), g.v.data(), g.vdv.data(), static_cast<std::ptrdiff_t>(g.vdv.size())};
            const double slack = detail::tree_slack(g.metric);
            if (segs.count >= 32 && slack >= 0.0)
                g.tree = std::make_unique<detail::SegmentTree>(segs, g.metric, slack, g.ids.data());
        }
    }

    void build_polygons(const std::vector<MemberInput>& members) {
        for (size_t m = 0; m < members.size(); ++m) {
            const MemberInput& in = members[m];
            if (in.kind != MemberKind::Polygon) continue;
            PolygonTest& t = polygons_.emplace_back();
            t.member = static_cast<std::int32_t>(m);
            const Ring& outer = in.rings[0];
            t.x0 = t.y0 = detail::kInf;
            t.x1 = t.y1 = -detail::kInf;
            double scale = 1.0;
            for (std::ptrdiff_t k = 0; k < outer.size; ++k) {
                const double x = outer.xy[2 * k], y = outer.xy[2 * k + 1];
                t.x0 = std::min(t.x0, x), t.x1 = std::max(t.x1, x), t.y0 = std::min(t.y0, y), t.y1 = std::max(t.y1, y);
                scale = std::max({scale, std::fabs(x), std::fabs(y)});
            }
            // Left of every vertex by this margin, the crossing test counts
            // every straddling edge of the outer ring, an even number.
            t.x0 -= 1e-9 * scale;
            std::ptrdiff_t edges = 0;
            for (const Ring& r : in.rings) {
                t.rings.emplace_back(r.xy, r.xy + 2 * r.size);
                edges += r.size;
            }
            if (edges >= 48) {
                std::vector<Ring> holes;
                for (size_t h = 1; h < t.rings.size(); ++h)
                    holes.push_back({t.rings[h].data(), static_cast<std::ptrdiff_t>(t.rings[h].size() / 2)});
                t.band = std::make_unique<detail::BandIndex>(
                    Ring{t.rings[0].data(), static_cast<std::ptrdiff_t>(t.rings[0].size() / 2)}, holes);
            }
        }
        if (polygons_.empty()) return;
        // A uniform grid of cells over the polygons' boxes, each listing the
        // polygons (in member order) whose box meets it.
        gx0_ = gy0_ = detail::kInf;
        double gx1 = -detail::kInf, gy1 = -detail::kInf;
        for (const PolygonTest& t : polygons_) {
            gx0_ = std::min(gx0_, t.x0), gy0_ = std::min(gy0_, t.y0);
            gx1 = std::max(gx1, t.x1), gy1 = std::max(gy1, t.y1);
        }
        cells_ = std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(2.0 * std::sqrt(static_cast<double>(polygons_.size()))), 1, 256);
        sx_ = static_cast<double>(cells_) / std::max(gx1 - gx0_, 1e-300);
        sy_ = static_cast<double>(cells_) / std::max(gy1 - gy0_, 1e-300);
        if (!std::isfinite(sx_) || !std::isfinite(sy_) || !std::isfinite(gx1 - gx0_) || !std::isfinite(gy1 - gy0_)) {
            cells_ = 1;
            sx_ = sy_ = 0.0;
        }
        cell_start_.assign(static_cast<size_t>(cells_ * cells_) + 1, 0);
        auto span = [&](const PolygonTest& t, auto&& f) {
            const std::ptrdiff_t cx0 = cell(t.x0, gx0_, sx_), cx1 = cell(t.x1, gx0_, sx_);
            const std::ptrdiff_t cy0 = cell(t.y0, gy0_, sy_), cy1 = cell(t.y1, gy0_, sy_);
            for (std::ptrdiff_t cy = cy0; cy <= cy1; ++cy)
                for (std::ptrdiff_t cx = cx0; cx <= cx1; ++cx) f(static_cast<size_t>(cy * cells_ + cx));
        };
        for (const PolygonTest& t : polygons_) span(t, [&](size_t c) { ++cell_start_[c + 1]; });
        for (size_t c = 1; c < cell_start_.size(); ++c) cell_start_[c] += cell_start_[c - 1];
        cell_items_.resize(cell_start_.back());
        std::vector<size_t> fill(cell_start_.begin(), cell_start_.end() - 1);
        for (size_t k = 0; k < polygons_.size(); ++k)
            span(polygons_[k], [&](size_t c) { cell_items_[fill[c]++] = static_cast<std::int32_t>(k); });
    }

    std::ptrdiff_t cell(double v, double origin, double scale) const {
        const double c = (v - origin) * scale;
        if (!(c > 0.0)) return 0;
        return c >= static_cast<double>(cells_ - 1) ? cells_ - 1 : static_cast<std::ptrdiff_t>(c);
    }

    // The polygon members whose inside test holds for the point, appended
    // to `inside` in member order.
    const std::vector<std::int32_t>& polygons_containing(double px, double py, std::vector<std::int32_t>& inside) const {
        if (polygons_.empty()) return inside;
        const size_t c = static_cast<size_t>(cell(py, gy0_, sy_) * cells_ + cell(px, gx0_, sx_));
        for (size_t k = cell_start_[c]; k < cell_start_[c + 1]; ++k) {
            const PolygonTest& t = polygons_[static_cast<size_t>(cell_items_[k])];
            if (py < t.y0 || py > t.y1 || px < t.x0 || px > t.x1) continue;
            if (t.inside(px, py)) inside.push_back(t.member);
        }
        return inside;
    }

    double form_of_zero(std::ptrdiff_t m) const { return members_[static_cast<size_t>(m)].metric.form(0.0, 0.0); }

    double segment_q(double px, double py, std::ptrdiff_t id) const {
        return detail::evaluate(px, py, segments_view(), id, members_[static_cast<size_t>(owner_[static_cast<size_t>(id)])].metric).q;
    }

    void scan_group(const Group& g, double px, double py, detail::Best& best, const Skip& skip) const {
        const Segments segs{g.p1.data(), g.v.data(), g.vdv.data(), static_cast<std::ptrdiff_t>(g.vdv.size())};
        for (std::ptrdiff_t s = 0; s < segs.count; ++s) {
            const double q = detail::evaluate(px, py, segs, s, g.metric).q;
            if (q <= best.q && !skip(g.ids[static_cast<size_t>(s)])) best.offer(q, g.ids[static_cast<size_t>(s)]);
        }
    }

    // A point-like member's squared distance, or nothing when the
    // multi-point's own choice is a near tie (`chosen` is then -1, else the
    // point used): it ranks its points through
    // a matrix product whose rounding is the linear-algebra library's, so a
    // choice is made here only when no rounding could change it.
    static std::optional<double> point_member(const Member& mem, const LivePoints& pts, double px, double py,
                                              std::ptrdiff_t& chosen) {
        const Metric& a = mem.metric;
        chosen = 0;
        if (mem.kind == MemberKind::Point) {
            const double dx = px - pts.xy[0], dy = py - pts.xy[1];
            return a.form(dx, dy);
        }
        constexpr double kRounding = 16.0 * std::numeric_limits<double>::epsilon();
        auto rank = [&](std::ptrdiff_t j, double& err) {
            const double dx = pts.xy[2 * j] - px, dy = pts.xy[2 * j + 1] - py;
            const double ax = dx * a.m00 + dy * a.m10, ay = dx * a.m01 + dy * a.m11;
            err = kRounding * (std::fabs(dx) * (std::fabs(dx * a.m00) + std::fabs(dy * a.m10)) +
                               std::fabs(dy) * (std::fabs(dx * a.m01) + std::fabs(dy * a.m11)));
            return ax * dx + ay * dy;
        };
        double best_q = detail::kInf, best_err = 0.0, err = 0.0;
        for (std::ptrdiff_t j = 0; j < pts.count; ++j) {
            const double q = rank(j, err);
            if (q < best_q) best_q = q, best_err = err, chosen = j;
        }
        // Every other point must lose by more than both roundings together.
        for (std::ptrdiff_t j = 0; j < pts.count; ++j) {
            const double q = rank(j, err);
            if (j != chosen && q - best_q <= err + best_err) {
                chosen = -1;
                return std::nullopt;
            }
        }
        const double* p = pts.xy + 2 * chosen;
        return a.form(p[0] - px, p[1] - py);
    }

    std::vector<Member> members_;
    std::ptrdiff_t elements_ = 0;      // element ids: a member's segments, or one for other members
    std::vector<std::int32_t> owner_;  // element id -> member
    std::vector<double> all_p1_, all_v_, all_vdv_;  // segment data by element id
    std::vector<Group> groups_;
    std::vector<std::ptrdiff_t> pointlike_;  // Point, MultiPoint and Zero members, in member order
    std::vector<PolygonTest> polygons_;
    std::ptrdiff_t cells_ = 0;
    double gx0_ = 0, gy0_ = 0, sx_ = 0, sy_ = 0;
    std::vector<size_t> cell_start_;
    std::vector<std::int32_t> cell_items_;
};

// Whether `members` can be indexed: finite segments with positive squared
// lengths, polygons with at least one ring and finite vertices, metrics
// whose symmetric part is positive definite and well conditioned (the
// trees' bounds need that). Anything else is left to the members' steps.
inline bool indexable(const std::vector<MemberInput>& members) {
    auto finite = [](const double* p, std::ptrdiff_t n) { return std::all_of(p, p + n, [](double v) { return std::isfinite(v); }); };
    for (const MemberInput& m : members) {
        if (detail::tree_slack(m.metric) < 0.0) return false;
        if (m.kind == MemberKind::Segments || m.kind == MemberKind::Polygon) {
            const Segments& s = m.segments;
            if (s.count <= 0 || !finite(s.p1, 2 * s.count) || !finite(s.v, 2 * s.count) || !finite(s.vdv, s.count)) return false;
            if (!std::all_of(s.vdv, s.vdv + s.count, [](double v) { return v > 0.0; })) return false;
        }
        if (m.kind == MemberKind::Polygon) {
            if (m.rings.empty()) return false;
            for (const Ring& r : m.rings)
                if (!finite(r.xy, 2 * r.size)) return false;
        }
    }
    return !members.empty();
}

}  // namespace orvo::kernels
