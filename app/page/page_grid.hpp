// The page's compact views of a decomposition: a log-frequency grid of rows
// and a time grid of columns, shared by the spectrogram image, the basis
// curves and the activation lanes.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane {

struct PageGrid {
    double fLo = 20, fHi = 0;  // edges of the lowest and highest row, Hz
    int rows = 0, cols = 0;
};

// rows log-spaced from max(20 Hz, one bin) up to half the rate; at most
// maxCols columns, fewer when there are fewer frames.
PageGrid makePageGrid(double sampleRate, int fftSize, int frameCount, int rows, int maxCols);

// A bins-long spectrum on the grid's rows: the largest value of the bins in
// each row, or the interpolated value at its centre when no bin falls in it.
std::vector<double> onRows(const PageGrid &g, const double *spectrum, int bins, double binHz);

// A frames-long series on the grid's columns: the largest value in each.
std::vector<double> onCols(const PageGrid &g, const std::vector<double> &series);

// The spectrogram as rows x cols bytes, row 0 the lowest: 255 at the
// loudest cell down to 0 at rangeDb below it. mag holds planes of bins x
// frames values (row-major) one after another, summed in double; T is
// float or double.
template <typename T>
std::vector<uint8_t> spectrogramBytes(const PageGrid &g, const T *mag, int planes, int bins, int frames, double binHz,
                                      double rangeDb);

}  // namespace korvane
