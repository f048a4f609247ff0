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

std::vector<double> onRows(const PageGrid &g, const double *spectrum, int bins, double binHz) {
    std::vector<double> out(static_cast<size_t>(g.rows), 0.0);
    const double ratio = std::log(g.fHi / g.fLo);
    for (int r = 0; r < g.rows; ++r) {
        double lo = g.fLo * std::exp(ratio * r / g.rows), hi = g.fLo * std::exp(ratio * (r + 1) / g.rows);
        int b0 = static_cast<int>(std::ceil(lo / binHz)), b1 = static_cast<int>(std::ceil(hi / binHz));
        b1 = std::min(b1, bins);
        double v = 0;
        if (b0 < b1) {
            for (int b = b0; b < b1; ++b) v = std::max(v, spectrum[b]);
        } else {
            double x = std::sqrt(lo * hi) / binHz;
            int b = std::min(static_cast<int>(x), bins - 2);
            double f = std::clamp(x - b, 0.0, 1.0);
            v = spectrum[b] * (1 - f) + spectrum[b + 1] * f;
        }
        out[static_cast<size_t>(r)] = v;
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

std::vector<uint8_t> spectrogramBytes(const PageGrid &g, const std::vector<double> &mag, int bins, int frames,
                                      double binHz, double rangeDb) {
    // per column: the largest magnitude of its frames, bin by bin
    std::vector<double> col(static_cast<size_t>(bins) * g.cols, 0.0);
    for (int b = 0; b < bins; ++b)
        for (int t = 0; t < frames; ++t) {
            size_t c = static_cast<size_t>(t) * g.cols / frames;
            double &cell = col[c * bins + b];
            cell = std::max(cell, mag[static_cast<size_t>(b) * frames + t]);
        }
    std::vector<double> cells(static_cast<size_t>(g.rows) * g.cols);
    double top = 0;
    for (int c = 0; c < g.cols; ++c) {
        std::vector<double> r = onRows(g, &col[static_cast<size_t>(c) * bins], bins, binHz);
        for (int i = 0; i < g.rows; ++i) {
            cells[static_cast<size_t>(i) * g.cols + c] = r[static_cast<size_t>(i)];
            top = std::max(top, r[static_cast<size_t>(i)]);
        }
    }
    std::vector<uint8_t> out(cells.size(), 0);
    if (!(top > 0)) return out;
    for (size_t i = 0; i < cells.size(); ++i) {
        double db = 20 * std::log10(std::max(cells[i], 1e-300) / top);
        out[i] = static_cast<uint8_t>(std::lround(255 * std::clamp(1 + db / rangeDb, 0.0, 1.0)));
    }
    return out;
}

}  // namespace korvane
