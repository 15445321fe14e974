#include "geometry/view_rows.hpp"

#include <algorithm>
#include <deque>
#include <limits>

namespace rectify {
namespace {

constexpr int kRows = 2001;

struct RowSpans {
    std::vector<double> left, right;  // per grid row; left > right where the row misses
};

// Where each grid row crosses the closed outline: the stretch between two
// crossings that holds the outline's centre. A curved border (a distorted
// image's) can cut a row into several stretches; the rectangle is sought
// around the centre of the image.
RowSpans row_spans(const std::vector<cv::Point2d>& outline, const std::vector<double>& rows) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    RowSpans spans{std::vector<double>(rows.size(), inf), std::vector<double>(rows.size(), -inf)};
    std::vector<std::vector<double>> crossings(rows.size());
    double centre = 0.0;
    const std::size_t n = outline.size();
    for (std::size_t i = 0; i < n; ++i) {
        centre += outline[i].x / static_cast<double>(n);
        const cv::Point2d a = outline[i], b = outline[(i + 1) % n];
        if (a.y == b.y) {
            continue;
        }
        // Half-open in y, so a row through a vertex counts it once.
        const double low = std::min(a.y, b.y), high = std::max(a.y, b.y);
        for (auto row = std::lower_bound(rows.begin(), rows.end(), low);
             row != rows.end() && *row < high; ++row) {
            const double x = a.x + (b.x - a.x) * (*row - a.y) / (b.y - a.y);
            crossings[static_cast<std::size_t>(row - rows.begin())].push_back(x);
        }
    }
    for (std::size_t j = 0; j < rows.size(); ++j) {
        std::vector<double>& xs = crossings[j];
        std::sort(xs.begin(), xs.end());
        for (std::size_t i = 0; i + 1 < xs.size(); i += 2) {
            if (xs[i] <= centre && centre <= xs[i + 1]) {
                spans.left[j] = xs[i];
                spans.right[j] = xs[i + 1];
            }
        }
    }
    return spans;
}

// Sliding maximum (or minimum, with the values negated) over windows of
// m + 1 rows: result[j] covers rows j .. j + m.
std::vector<double> sliding_max(const std::vector<double>& values, int m) {
    std::vector<double> result;
    std::deque<int> candidates;
    for (int i = 0; i < static_cast<int>(values.size()); ++i) {
        while (!candidates.empty() && values[candidates.back()] <= values[i]) {
            candidates.pop_back();
        }
        candidates.push_back(i);
        if (candidates.front() < i - m) {
            candidates.pop_front();
        }
        if (i >= m) {
            result.push_back(values[candidates.front()]);
        }
    }
    return result;
}

std::vector<double> negated(std::vector<double> v) {
    for (double& x : v)
        x = -x;
    return v;
}

struct Placement {
    double slack = -1.0;  // the smaller room left in either image; < 0: no fit
    double left[2] = {0.0, 0.0};
};

// The best window start for windows of m + 1 rows, if any fits.
int best_start(const RowSpans spans[2], const std::vector<double>& rows, int m,
               double width_per_height, Placement& placement) {
    std::vector<double> max_left[2], min_right[2];
    for (int k = 0; k < 2; ++k) {
        max_left[k] = sliding_max(spans[k].left, m);
        min_right[k] = negated(sliding_max(negated(spans[k].right), m));
    }
    int best = -1;
    for (std::size_t j = 0; j < max_left[0].size(); ++j) {
        const double width = width_per_height * (rows[j + m] - rows[j]);
        Placement p;
        p.slack = std::numeric_limits<double>::infinity();
        for (int k = 0; k < 2; ++k) {
            const double room = min_right[k][j] - max_left[k][j] - width;
            p.slack = std::min(p.slack, room);
            p.left[k] = max_left[k][j] + 0.5 * room;
        }
        if (p.slack >= 0.0 && p.slack > placement.slack) {
            placement = p;
            best = static_cast<int>(j);
        }
    }
    return best;
}

}  // namespace

ValidWindow largest_shared_window(const std::vector<cv::Point2d>& outline1,
                                  const std::vector<cv::Point2d>& outline2,
                                  double width_per_height) {
    const auto y_range = [](const std::vector<cv::Point2d>& outline) {
        const auto [low, high] = std::minmax_element(
            outline.begin(), outline.end(), [](cv::Point2d a, cv::Point2d b) { return a.y < b.y; });
        return std::pair(low->y, high->y);
    };
    const auto [low1, high1] = y_range(outline1);
    const auto [low2, high2] = y_range(outline2);
    const double low = std::max(low1, low2), high = std::min(high1, high2);
    ValidWindow window;
    if (!(high > low)) {
        return window;
    }
    std::vector<double> rows(kRows);
    for (int j = 0; j < kRows; ++j) {
        rows[j] = low + (high - low) * j / (kRows - 1);
    }
    const RowSpans spans[2] = {row_spans(outline1, rows), row_spans(outline2, rows)};
    // The tallest window that fits, by bisection on its row count: any
    // window inside one that fits fits too.
    int fits = 0, fails = kRows;
    while (fails - fits > 1) {
        const int m = (fits + fails) / 2;
        Placement placement;
        (best_start(spans, rows, m, width_per_height, placement) >= 0 ? fits : fails) = m;
    }
    if (fits == 0) {
        return window;
    }
    Placement placement;
    const int j = best_start(spans, rows, fits, width_per_height, placement);
    window.found = true;
    window.top = rows[j];
    window.height = rows[j + fits] - rows[j];
    window.left[0] = placement.left[0];
    window.left[1] = placement.left[1];
    return window;
}

}  // namespace rectify
