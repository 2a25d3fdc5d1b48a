// Least-cost paths over a raster: A* on the grid of cells and their eight
// neighbours. Plain C++ over one flat float64 buffer, like the rest of the
// engine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

namespace orvo::kernels {

// A raster of `rows` x `cols` cells, row by row: cell i = r * cols + c costs
// cost[i] per unit of length, or is blocked when its cost is not a positive
// finite number.
struct CostGrid {
    const double* cost;
    std::int64_t rows, cols;

    bool open(std::int64_t i) const { return cost[i] > 0.0 && cost[i] < std::numeric_limits<double>::infinity(); }
};

// The cheapest 8-connected path of cells from `start` to `goal` (both cell
// indices, both open), start and goal included; empty when no path exists.
// A step between neighbours costs its length (1 across, sqrt 2 diagonally,
// in cell sizes) times the mean cost of its two cells. A diagonal step also
// needs both cells beside it open, so no path slips between two blocked
// cells that touch at a corner. The heuristic is the octile distance times
// the cheapest open cell's cost: a lower bound, so the path is optimal.
// Throws std::bad_alloc.
inline std::vector<std::int64_t> least_cost_path(const CostGrid& grid, std::int64_t start, std::int64_t goal) {
    const std::int64_t cells = grid.rows * grid.cols;
    double cheapest = std::numeric_limits<double>::infinity();
    for (std::int64_t i = 0; i < cells; ++i)
        if (grid.open(i)) cheapest = std::min(cheapest, grid.cost[i]);
    if (!grid.open(start) || !grid.open(goal)) return {};

    constexpr double kDiagonal = 1.4142135623730951;
    const std::int64_t goal_r = goal / grid.cols, goal_c = goal % grid.cols;
    const auto estimate = [&](std::int64_t i) {
        const double dr = static_cast<double>(std::llabs(i / grid.cols - goal_r));
        const double dc = static_cast<double>(std::llabs(i % grid.cols - goal_c));
        return cheapest * (std::max(dr, dc) + (kDiagonal - 1.0) * std::min(dr, dc));
    };

    std::vector<double> best(static_cast<size_t>(cells), std::numeric_limits<double>::infinity());
    std::vector<std::int64_t> parent(static_cast<size_t>(cells), -1);
    std::vector<bool> done(static_cast<size_t>(cells), false);
    using Entry = std::pair<double, std::int64_t>;  // (cost so far + estimate, cell)
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> frontier;
    best[static_cast<size_t>(start)] = 0.0;
    frontier.emplace(estimate(start), start);
    while (!frontier.empty()) {
        const std::int64_t here = frontier.top().second;
        frontier.pop();
        if (done[static_cast<size_t>(here)]) continue;  // an outdated entry
        done[static_cast<size_t>(here)] = true;
        if (here == goal) break;
        const std::int64_t r = here / grid.cols, c = here % grid.cols;
        for (std::int64_t dr = -1; dr <= 1; ++dr) {
            for (std::int64_t dc = -1; dc <= 1; ++dc) {
                const std::int64_t nr = r + dr, nc = c + dc;
                if ((dr == 0 && dc == 0) || nr < 0 || nc < 0 || nr >= grid.rows || nc >= grid.cols) continue;
                const std::int64_t next = nr * grid.cols + nc;
                if (done[static_cast<size_t>(next)] || !grid.open(next)) continue;
                const bool diagonal = dr != 0 && dc != 0;
                if (diagonal && !(grid.open(r * grid.cols + nc) && grid.open(nr * grid.cols + c))) continue;
                const double step = (diagonal ? kDiagonal : 1.0) * 0.5 * (grid.cost[here] + grid.cost[next]);
                const double through = best[static_cast<size_t>(here)] + step;
                if (through < best[static_cast<size_t>(next)]) {
                    best[static_cast<size_t>(next)] = through;
                    parent[static_cast<size_t>(next)] = here;
                    frontier.emplace(through + estimate(next), next);
                }
            }
        }
    }
    if (!done[static_cast<size_t>(goal)]) return {};
    std::vector<std::int64_t> path;
    for (std::int64_t i = goal; i != -1; i = parent[static_cast<size_t>(i)]) path.push_back(i);
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace orvo::kernels
