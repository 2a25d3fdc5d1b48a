// The engine: what the kernel module, the geometries' fast paths and the
// collection's index compute with. Plain C++ over flat float64 buffers: no
// Python, no interpreter lock, no signals. The callers decide on threads
// and interruption (native/parallel.hpp); every `run` below may be called
// on disjoint row ranges from any number of threads at once.
//
// This is the one header the Python layers include; what lives in the
// `detail` namespaces of the headers below is theirs alone.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "kernels/rings.hpp"
#include "kernels/scene.hpp"
#include "kernels/search.hpp"
#include "kernels/segments.hpp"

namespace orvo::kernels {

// The nearest-segment vectors (segments.hpp) of a batch of about `n`
// points: a tree over the segments when it pays for itself, else a scan of
// every segment, vectorised where the processor allows. Either way the
// rows are bit for bit the same. Construction may throw std::bad_alloc.
class SegmentPlan {
public:
    SegmentPlan(const Segments& g, const Metric& m, std::ptrdiff_t n) : g_(g), m_(m), simd_(detail::have_avx2()) {
        if (use_tree(n, g, m)) tree_.emplace(g, m, detail::tree_slack(m));
    }
    // Rows [begin, end) of the (N, 2) query points `x` into `out`.
    void run(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end, double* out) const {
        if (tree_) tree_->run(x, begin, end, out);
        else if (simd_) detail::scan_avx2(x, begin, end, g_, m_, out);
        else detail::scan_plain(x, begin, end, g_, m_, out);
    }
    // Elementary steps for `n` points, for the thread decision.
    double work(std::ptrdiff_t n) const { return segment_work(n, g_.count, tree_.has_value()); }

private:
    Segments g_;
    Metric m_;
    bool simd_;
    std::optional<detail::SegmentTree> tree_;
};

// The inside test (rings.hpp) of a batch of about `n` points: a band index
// over the edges when it pays for itself, else a test of every edge.
class RingPlan {
public:
    RingPlan(const Ring& outer, const std::vector<Ring>& holes, std::ptrdiff_t n)
        : outer_(outer), holes_(holes), simd_(detail::have_avx2()) {
        edges_ = outer.size;
        for (const Ring& h : holes) edges_ += h.size;
        if (use_band_index(n, outer, holes)) band_.emplace(outer, holes);
    }
    void run(const double* x, std::ptrdiff_t begin, std::ptrdiff_t end, bool* out) const {
        if (band_) band_->run(x, begin, end, out);
        else if (simd_) detail::rings_avx2(x, begin, end, outer_, holes_, out);
        else detail::rings_plain(x, begin, end, outer_, holes_, out);
    }
    double work(std::ptrdiff_t n) const {
        return static_cast<double>(n) * (band_ ? 32.0 : static_cast<double>(edges_));
    }

private:
    Ring outer_;
    std::vector<Ring> holes_;
    std::ptrdiff_t edges_ = 0;
    bool simd_;
    std::optional<detail::BandIndex> band_;
};

}  // namespace orvo::kernels
