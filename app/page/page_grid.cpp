#include "page/page_grid.hpp"

#include <algorithm>
#include <cmath>

namespace korvane {

PageGrid makePageGrid(double sampleRate, int fftSize, int frameCount, int rows, int maxCols) {
    PageGrid g;
    g.fHi = sampleRate / 2;
    g.fLo = std::min(std::max(20.0, sampleRate / fftSize), g.fHi / 2);
    g.rows = rows;
    g.cols = std::max(1, std::min(frameCount, maxCols));
    return g;
}

namespace {

// Where a row takes its value: the largest of bins b0 .. b1 - 1, or, when
// none falls in it, bin b and the next mixed as (1 - f, f).
struct RowSpan {
    int b0, b1, b;
    double f;
};

std::vector<RowSpan> rowSpans(const PageGrid &g, int bins, double binHz) {
    std::vector<RowSpan> out(static_cast<size_t>(g.rows));
    const double ratio = std::log(g.fHi / g.fLo);
    for (int r = 0; r < g.rows; ++r) {
        double lo = g.fLo * std::exp(ratio * r / g.rows), hi = g.fLo * std::exp(ratio * (r + 1) / g.rows);
        RowSpan &s = out[static_cast<size_t>(r)];
        s.b0 = static_cast<int>(std::ceil(lo / binHz));
        s.b1 = std::min(static_cast<int>(std::ceil(hi / binHz)), bins);
        double x = std::sqrt(lo * hi) / binHz;
        s.b = std::min(static_cast<int>(x), bins - 2);
        s.f = std::clamp(x - s.b, 0.0, 1.0);
    }
    return out;
}

// Per bin, the largest (summed) magnitude of each column's frames: bins x
// cols, row-major, so that every loop runs along memory.
template <typename T>
std::vector<double> columnMaxima(const PageGrid &g, const T *mag, int planes, int bins, int frames) {
    const size_t cols = static_cast<size_t>(g.cols), n = static_cast<size_t>(bins) * static_cast<size_t>(frames);
    std::vector<double> out(static_cast<size_t>(bins) * cols, 0.0), sum(static_cast<size_t>(frames));
    for (int b = 0; b < bins; ++b) {
        const T *row = mag + static_cast<size_t>(b) * static_cast<size_t>(frames);
        for (int t = 0; t < frames; ++t) sum[static_cast<size_t>(t)] = static_cast<double>(row[t]);
        for (int p = 1; p < planes; ++p)
            for (int t = 0; t < frames; ++t)
                sum[static_cast<size_t>(t)] +=
                    static_cast<double>(row[static_cast<size_t>(p) * n + static_cast<size_t>(t)]);
        double *col = &out[static_cast<size_t>(b) * cols];
        for (int t = 0; t < frames; ++t) {
            const size_t c = static_cast<size_t>(t) * cols / static_cast<size_t>(frames);
            col[c] = std::max(col[c], sum[static_cast<size_t>(t)]);
        }
    }
    return out;
}

}  // namespace

std::vector<double> onRows(const PageGrid &g, const double *spectrum, int bins, double binHz) {
    std::vector<double> out(static_cast<size_t>(g.rows), 0.0);
    const std::vector<RowSpan> spans = rowSpans(g, bins, binHz);
    for (size_t r = 0; r < spans.size(); ++r) {
        const RowSpan &s = spans[r];
        double v = 0;
        if (s.b0 < s.b1) {
            for (int b = s.b0; b < s.b1; ++b) v = std::max(v, spectrum[b]);
        } else {
            v = spectrum[s.b] * (1 - s.f) + spectrum[s.b + 1] * s.f;
        }
        out[r] = v;
    }
    return out;
}

std::vector<double> onCols(const PageGrid &g, const std::vector<double> &series) {
    std::vector<double> out(static_cast<size_t>(g.cols), 0.0);
    const size_t n = series.size();
    for (size_t t = 0; t < n; ++t) {
        size_t c = t * static_cast<size_t>(g.cols) / n;
        out[c] = std::max(out[c], series[t]);
    }
    return out;
}

template <typename T>
std::vector<uint8_t> spectrogramBytes(const PageGrid &g, const T *mag, int planes, int bins, int frames, double binHz,
                                      double rangeDb) {
    const std::vector<double> col = columnMaxima(g, mag, planes, bins, frames);
    const size_t cols = static_cast<size_t>(g.cols);
    // onRows on every column at once, a row at a time
    const std::vector<RowSpan> spans = rowSpans(g, bins, binHz);
    std::vector<double> cells(static_cast<size_t>(g.rows) * cols, 0.0);
    double top = 0;
    for (size_t r = 0; r < spans.size(); ++r) {
        const RowSpan &s = spans[r];
        double *cell = &cells[r * cols];
        if (s.b0 < s.b1) {
            for (int b = s.b0; b < s.b1; ++b) {
                const double *from = &col[static_cast<size_t>(b) * cols];
                for (size_t c = 0; c < cols; ++c) cell[c] = std::max(cell[c], from[c]);
            }
        } else {
            const double *lo = &col[static_cast<size_t>(s.b) * cols], *hi = lo + cols;
            for (size_t c = 0; c < cols; ++c) cell[c] = lo[c] * (1 - s.f) + hi[c] * s.f;
        }
        for (size_t c = 0; c < cols; ++c) top = std::max(top, cell[c]);
    }
    std::vector<uint8_t> out(cells.size(), 0);
    if (!(top > 0)) return out;
    for (size_t i = 0; i < cells.size(); ++i) {
        double db = 20 * std::log10(std::max(cells[i], 1e-300) / top);
        out[i] = static_cast<uint8_t>(std::lround(255 * std::clamp(1 + db / rangeDb, 0.0, 1.0)));
    }
    return out;
}

template std::vector<uint8_t> spectrogramBytes(const PageGrid &, const float *, int, int, int, double, double);
template std::vector<uint8_t> spectrogramBytes(const PageGrid &, const double *, int, int, int, double, double);

}  // namespace korvane
