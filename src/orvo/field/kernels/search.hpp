// Least-cost paths over a raster: A* on the grid of cells and their eight
// neighbours. Plain C++ over one flat float64 buffer, like the rest of the
// engine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
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
    const std::int64_t rows = grid.rows, cols = grid.cols, cells = rows * cols;
    if (!grid.open(start) || !grid.open(goal)) return {};
    // Per cell: 0 blocked, 1 open, 2 settled.
    std::vector<std::uint8_t> state(static_cast<size_t>(cells));
    double cheapest = std::numeric_limits<double>::infinity();
    for (std::int64_t i = 0; i < cells; ++i) {
        state[static_cast<size_t>(i)] = grid.open(i) ? 1 : 0;
        if (state[static_cast<size_t>(i)]) cheapest = std::min(cheapest, grid.cost[i]);
    }

    constexpr double kDiagonal = 1.4142135623730951;
    const std::int64_t goal_r = goal / cols, goal_c = goal % cols;
    const auto estimate = [&](std::int64_t r, std::int64_t c) {
        const double dr = static_cast<double>(std::llabs(r - goal_r));
        const double dc = static_cast<double>(std::llabs(c - goal_c));
        return cheapest * (std::max(dr, dc) + (kDiagonal - 1.0) * std::min(dr, dc));
    };

    std::vector<double> best(static_cast<size_t>(cells), std::numeric_limits<double>::infinity());
    std::vector<std::int64_t> parent(static_cast<size_t>(cells), -1);
    using Entry = std::pair<double, std::int64_t>;  // (cost so far + estimate, cell)
    std::vector<Entry> heap;
    const auto push = [&](double key, std::int64_t cell) {
        heap.emplace_back(key, cell);
        std::push_heap(heap.begin(), heap.end(), std::greater<Entry>());
    };
    best[static_cast<size_t>(start)] = 0.0;
    push(estimate(start / cols, start % cols), start);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), std::greater<Entry>());
        const std::int64_t here = heap.back().second;
        heap.pop_back();
        std::uint8_t& here_state = state[static_cast<size_t>(here)];
        if (here_state == 2) continue;  // an outdated entry
        here_state = 2;
        if (here == goal) break;
        const std::int64_t r = here / cols, c = here % cols;
        const double so_far = best[static_cast<size_t>(here)], here_cost = grid.cost[here];
        // Which of the four sides are open decides the diagonals.
        const bool up = r > 0 && state[static_cast<size_t>(here - cols)] != 0;
        const bool down = r + 1 < rows && state[static_cast<size_t>(here + cols)] != 0;
        const bool left = c > 0 && state[static_cast<size_t>(here - 1)] != 0;
        const bool right = c + 1 < cols && state[static_cast<size_t>(here + 1)] != 0;
        const auto relax = [&](bool allowed, std::int64_t dr, std::int64_t dc, double length) {
            if (!allowed) return;
            const std::int64_t next = here + dr * cols + dc;
            if (state[static_cast<size_t>(next)] != 1) return;
            const double through = so_far + length * 0.5 * (here_cost + grid.cost[next]);
            if (through < best[static_cast<size_t>(next)]) {
                best[static_cast<size_t>(next)] = through;
                parent[static_cast<size_t>(next)] = here;
                push(through + estimate(r + dr, c + dc), next);
            }
        };
        relax(up, -1, 0, 1.0);
        relax(down, 1, 0, 1.0);
        relax(left, 0, -1, 1.0);
        relax(right, 0, 1, 1.0);
        relax(up && left, -1, -1, kDiagonal);
        relax(up && right, -1, 1, kDiagonal);
        relax(down && left, 1, -1, kDiagonal);
        relax(down && right, 1, 1, kDiagonal);
    }
    if (state[static_cast<size_t>(goal)] != 2) return {};
    std::vector<std::int64_t> path;
    for (std::int64_t i = goal; i != -1; i = parent[static_cast<size_t>(i)]) path.push_back(i);
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace orvo::kernels
