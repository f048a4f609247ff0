#include "picture/plot.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvane {

namespace {

struct Rgb {
    double r, g, b;
};

// Twenty distinct hues: ten strong ones, then their lighter companions.
const Rgb kPalette[20] = {{0.12, 0.47, 0.71}, {1.00, 0.50, 0.05}, {0.17, 0.63, 0.17}, {0.84, 0.15, 0.16},
                          {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29}, {0.89, 0.47, 0.76}, {0.50, 0.50, 0.50},
                          {0.74, 0.74, 0.13}, {0.09, 0.75, 0.81}, {0.68, 0.78, 0.91}, {1.00, 0.73, 0.47},
                          {0.60, 0.87, 0.54}, {1.00, 0.60, 0.59}, {0.77, 0.69, 0.84}, {0.77, 0.61, 0.58},
                          {0.97, 0.71, 0.82}, {0.78, 0.78, 0.78}, {0.86, 0.86, 0.55}, {0.62, 0.85, 0.90}};

Rgb componentColour(size_t k) {
    return kPalette[k % 20];
}

// Dark-to-bright colour scale for the spectrogram, v in [0, 1].
Rgb heat(double v) {
    static const Rgb stops[] = {{0.00, 0.00, 0.02}, {0.16, 0.04, 0.33}, {0.40, 0.08, 0.43}, {0.62, 0.16, 0.39},
                                {0.83, 0.28, 0.26}, {0.96, 0.49, 0.08}, {0.98, 0.76, 0.15}, {0.99, 1.00, 0.64}};
    const int n = 8;
    // NaN passes through std::clamp; it shows as the darkest colour
    v = (v > 0 ? std::min(v, 1.0) : 0.0) * (n - 1);
    int i = std::min(static_cast<int>(v), n - 2);
    double f = v - i;
    return {stops[i].r + f * (stops[i + 1].r - stops[i].r), stops[i].g + f * (stops[i + 1].g - stops[i].g),
            stops[i].b + f * (stops[i + 1].b - stops[i].b)};
}

std::string hzLabel(double hz) {
    char buf[32];
    if (!std::isfinite(hz)) return "-";
    if (hz >= 10000)
        std::snprintf(buf, sizeof buf, "%.0f kHz", hz / 1000);
    else if (hz >= 1000)
        std::snprintf(buf, sizeof buf, "%.1f kHz", hz / 1000);
    else
        std::snprintf(buf, sizeof buf, "%.0f Hz", hz);
    return buf;
}

std::string tickHz(double hz) {
    char buf[32];
    if (hz >= 1000)
        std::snprintf(buf, sizeof buf, "%gk", hz / 1000);
    else
        std::snprintf(buf, sizeof buf, "%g", hz);
    return buf;
}

// Logarithmic frequency axis from lo to hi mapped onto [0, 1].
struct FreqAxis {
    double lo, hi;
    double toUnit(double f) const { return std::log(f / lo) / std::log(hi / lo); }
    double fromUnit(double u) const { return lo * std::pow(hi / lo, u); }
};

// Linear interpolation of v (n values) at fractional index x.
double sampleAt(const double *v, int n, double x, int stride = 1) {
    if (x <= 0) return v[0];
    if (x >= n - 1) return v[static_cast<size_t>(n - 1) * stride];
    int i = static_cast<int>(x);
    double f = x - i;
    return v[static_cast<size_t>(i) * stride] * (1 - f) + v[static_cast<size_t>(i + 1) * stride] * f;
}

double niceStep(double span, int maxTicks) {
    static const double steps[] = {0.05, 0.1, 0.2, 0.25, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600};
    for (double s : steps)
        if (span / s <= maxTicks) return s;
    return 1200;
}

// Text at x with alignX 0 left, 0.5 centred, 1 right; its baseline at y, or
// with middle set its vertical centre at y.
void placeText(cairo_t *cr, double x, double y, const std::string &s, double size, bool bold, double alignX,
               bool middle) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, x - alignX * e.x_advance, middle ? y - e.y_bearing - e.height / 2 : y);
    cairo_show_text(cr, s.c_str());
}

void text(cairo_t *cr, double x, double y, const std::string &s, double size, bool bold = false, double alignX = 0.0) {
    placeText(cr, x, y, s, size, bold, alignX, false);
}

void textMid(cairo_t *cr, double x, double y, const std::string &s, double size, bool bold = false,
             double alignX = 0.0) {
    placeText(cr, x, y, s, size, bold, alignX, true);
}

void setRgb(cairo_t *cr, Rgb c, double a = 1.0) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, a);
}

// the current closed path filled lightly in c and outlined in it
void fillAndOutline(cairo_t *cr, Rgb c) {
    setRgb(cr, c, 0.35);
    cairo_fill_preserve(cr);
    setRgb(cr, c);
    cairo_set_line_width(cr, 1.2);
    cairo_stroke(cr);
}

const Rgb kInk{0.13, 0.13, 0.15};
const Rgb kGrey{0.45, 0.45, 0.48};
const Rgb kRule{0.86, 0.86, 0.88};

// Where everything goes: a time column on the left (spectrogram above, one
// activation lane per component below) and a frequency column on the right
// (colour scale beside the spectrogram, one basis curve beside each lane).
struct Layout {
    static constexpr int width = 1400;
    static constexpr double left = 92, timeW = 850, gap = 50, freqW = 290;
    static constexpr double timeX0 = left, timeX1 = left + timeW;
    static constexpr double freqX0 = timeX1 + gap, freqX1 = freqX0 + freqW;
    static constexpr double titleH = 64, specY0 = titleH + 20, specH = 330, specY1 = specY0 + specH;
    static constexpr double lanesY0 = specY1 + 78;
    static constexpr double range = 80;       // dB shown of the spectrogram
    static constexpr double basisFloor = 60;  // dB shown of each basis
    int K = 0;
    double laneH = 0, lanesY1 = 0;
    int height = 0;
    double binHz = 1, duration = 1;
    FreqAxis fax{1, 2};
    double sampleRate = 1, fftSize = 0;
    int hop = 1;

    explicit Layout(const PlotData &d)
        : K(static_cast<int>(d.bases.size())), laneH(std::clamp(560.0 / std::max(K, 1), 36.0, 96.0)),
          lanesY1(lanesY0 + laneH * K), height(static_cast<int>(lanesY1 + 64)),
          binHz(d.fftSize > 0 ? d.sampleRate / d.fftSize : 1.0),
          duration(d.duration > 0 ? d.duration : 1.0), fax{std::max(30.0, 2 * binHz), d.sampleRate / 2},
          sampleRate(d.sampleRate), fftSize(d.fftSize), hop(std::max(d.hop, 1)) {}

    double timeToX(double t) const { return timeX0 + timeW * t / duration; }
    // Frame t is centred at (t * hop + N / 2) / sr.
    double xToFrame(double x) const {
        double t = (x - timeX0) / timeW * duration;
        return (t * sampleRate - fftSize / 2.0) / hop;
    }
};

const double kFreqTicks[] = {20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000};

void drawTitle(cairo_t *cr, const Layout &L, const PlotData &d) {
    setRgb(cr, kInk);
    text(cr, L.left, 34, d.title, 22, true);
    char sub[160];
    std::snprintf(
        sub, sizeof sub,
        "%d component%s  \xC2\xB7  %.0f Hz  \xC2\xB7  FFT %d  \xC2\xB7  hop %d  \xC2\xB7  %d frames  \xC2\xB7  %.2f s",
        L.K, L.K == 1 ? "" : "s", d.sampleRate, d.fftSize, d.hop, d.frames, d.duration);
    setRgb(cr, kGrey);
    text(cr, L.left, 56, sub, 13);
}

// The spectrogram in dB, and its loudest cell; empty when there is none.
std::vector<double> decibels(const PlotData &d, double &top) {
    top = -300;
    bool haveSpec = d.bins > 0 && d.frames > 0 &&
                    d.spectrogram.size() == static_cast<size_t>(d.bins) * static_cast<size_t>(d.frames);
    std::vector<double> db;
    if (haveSpec) {
        db.resize(d.spectrogram.size());
        for (size_t i = 0; i < db.size(); ++i) {
            db[i] = 20 * std::log10(d.spectrogram[i] + 1e-12);
            top = std::max(top, db[i]);
        }
    }
    return db;
}

// The spectrogram's pixels on a log frequency axis, bilinear in (bin, frame).
void paintSpectrogram(cairo_surface_t *img, const Layout &L, const PlotData &d) {
    double top;
    std::vector<double> db = decibels(d, top);
    const int pw = static_cast<int>(L.timeW), ph = static_cast<int>(L.specH);
    cairo_surface_flush(img);
    unsigned char *px = cairo_image_surface_get_data(img);
    int strideBytes = cairo_image_surface_get_stride(img);
    for (int y = 0; y < ph; ++y) {
        double f = L.fax.fromUnit(1.0 - (y + 0.5) / ph);
        double b = f / L.binHz;
        for (int x = 0; x < pw; ++x) {
            double fr = L.xToFrame(L.timeX0 + x + 0.5);
            Rgb c{0.96, 0.96, 0.97};
            if (!db.empty() && fr >= -0.5 && fr <= d.frames - 0.5) {
                double frc = std::clamp(fr, 0.0, d.frames - 1.0);
                int t0 = static_cast<int>(frc);
                int t1 = std::min(t0 + 1, d.frames - 1);
                double ft = frc - t0;
                double v0 = sampleAt(db.data() + t0, d.bins, b, d.frames);
                double v1 = sampleAt(db.data() + t1, d.bins, b, d.frames);
                c = heat((v0 * (1 - ft) + v1 * ft - (top - L.range)) / L.range);
            }
            uint32_t *p = reinterpret_cast<uint32_t *>(px + static_cast<size_t>(y) * strideBytes) + x;
            *p = (static_cast<uint32_t>(c.r * 255 + 0.5) << 16) | (static_cast<uint32_t>(c.g * 255 + 0.5) << 8) |
                 static_cast<uint32_t>(c.b * 255 + 0.5);
        }
    }
    cairo_surface_mark_dirty(img);
}

void drawSpectrogram(cairo_t *cr, const Layout &L, const PlotData &d) {
    cairo_surface_t *img =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(L.timeW), static_cast<int>(L.specH));
    paintSpectrogram(img, L, d);
    cairo_set_source_surface(cr, img, L.timeX0, L.specY0);
    cairo_paint(cr);
    cairo_surface_destroy(img);
    setRgb(cr, kInk);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, L.timeX0 - 0.5, L.specY0 - 0.5, L.timeW + 1, L.specH + 1);
    cairo_stroke(cr);

    setRgb(cr, kInk);
    text(cr, L.timeX0, L.specY0 - 8, "Input spectrogram", 14, true);
}

// The spectrogram's frequency ticks (log axis) and label.
void drawFrequencyAxis(cairo_t *cr, const Layout &L) {
    for (double f : kFreqTicks) {
        if (f < L.fax.lo || f > L.fax.hi) continue;
        double y = L.specY1 - L.specH * L.fax.toUnit(f);
        setRgb(cr, kInk);
        cairo_move_to(cr, L.timeX0 - 5, y);
        cairo_line_to(cr, L.timeX0, y);
        cairo_stroke(cr);
        textMid(cr, L.timeX0 - 8, y, tickHz(f), 12, false, 1.0);
    }
    cairo_save(cr);
    cairo_translate(cr, 24, L.specY0 + L.specH / 2);
    cairo_rotate(cr, -M_PI / 2);
    setRgb(cr, kInk);
    textMid(cr, 0, 0, "Frequency (Hz)", 13, false, 0.5);
    cairo_restore(cr);
}

// Time ticks and their labels along yAxis.
void drawTimeTicks(cairo_t *cr, const Layout &L, double yAxis) {
    double step = niceStep(L.duration, 12);
    for (double t = 0; t <= L.duration + 1e-9; t += step) {
        double x = L.timeToX(t);
        setRgb(cr, kInk);
        cairo_move_to(cr, x, yAxis);
        cairo_line_to(cr, x, yAxis + 5);
        cairo_stroke(cr);
        char buf[32];
        std::snprintf(buf, sizeof buf, step < 1 ? "%.2g" : "%g", t);
        if (step < 1) std::snprintf(buf, sizeof buf, "%.2f", t);
        text(cr, x, yAxis + 19, buf, 12, false, 0.5);
    }
}

// The colour scale beside the spectrogram, and the notes beside it.
// How the components are numbered, a short line each.
std::vector<std::string> orderLegend(const PlotData &d) {
    std::vector<std::string> lines;
    if (d.given > 0)
        lines = {"Given bases come", "first (marked given);", "the others are"};
    else
        lines = {"Components are"};
    if (d.order == "peak")
        lines.insert(lines.end(), {"numbered by falling", "peak frequency:"});
    else if (d.order == "energy")
        lines.insert(lines.end(), {"numbered by falling", "energy share:"});
    else if (d.order == "onset")
        lines.insert(lines.end(), {"numbered by their", "first onset:"});
    else
        lines.insert(lines.end(), {"numbered by falling", "spectral centroid:"});
    std::string first = d.given > 0 ? std::to_string(d.given + 1) + " is" : "1 is";
    lines.push_back(first + (d.order == "energy"  ? " the loudest."
                             : d.order == "onset" ? " the earliest."
                                                  : " the brightest."));
    return lines;
}

void drawColourScale(cairo_t *cr, const Layout &L, const PlotData &d) {
    const int ph = static_cast<int>(L.specH);
    double x = L.freqX0, w = 18;
    for (int y = 0; y < ph; ++y) {
        setRgb(cr, heat(1.0 - (y + 0.5) / ph));
        cairo_rectangle(cr, x, L.specY0 + y, w, 1);
        cairo_fill(cr);
    }
    setRgb(cr, kInk);
    cairo_rectangle(cr, x - 0.5, L.specY0 - 0.5, w + 1, L.specH + 1);
    cairo_stroke(cr);
    for (int dbv = 0; dbv <= 80; dbv += 20) {
        double y = L.specY0 + L.specH * dbv / L.range;
        cairo_move_to(cr, x + w, y);
        cairo_line_to(cr, x + w + 4, y);
        cairo_stroke(cr);
        char buf[16];
        std::snprintf(buf, sizeof buf, dbv == 0 ? "0 dB" : "\xE2\x88\x92%d", dbv);
        textMid(cr, x + w + 8, y, buf, 12);
    }
    setRgb(cr, kGrey);
    double tx = x + w + 70;
    text(cr, tx, L.specY0 + 14, "Magnitude relative", 12);
    text(cr, tx, L.specY0 + 30, "to the loudest cell", 12);
    double y = L.specY0 + 62;
    for (const std::string &line : orderLegend(d)) {
        text(cr, tx, y, line, 12);
        y += 16;
    }
}

void drawLaneHeadings(cairo_t *cr, const Layout &L) {
    setRgb(cr, kInk);
    text(cr, L.timeX0, L.lanesY0 - 10, "Activations", 14, true);
    text(cr, L.freqX0, L.lanesY0 - 10, "Bases", 14, true);
    setRgb(cr, kGrey);
    text(cr, L.timeX1 + L.gap / 2, L.lanesY0 - 10, "peak", 11, false, 0.5);
    setRgb(cr, kGrey);
    text(cr, L.freqX1, L.lanesY0 - 10, "dB, 60 dB range", 11, false, 1.0);
}

// One lane's vertical extent: y0..y1, the curves between cy0 and cy1.
struct Lane {
    double y0, y1, cy0, cy1;
    Lane(const Layout &L, int k) : y0(L.lanesY0 + k * L.laneH), y1(y0 + L.laneH) {
        double pad = std::min(6.0, L.laneH * 0.12);
        cy0 = y0 + pad + (L.laneH >= 48 ? 4 : 0);
        cy1 = y1 - pad;
    }
};

// Background of odd lanes, and the component number in the left margin.
void drawLaneBackground(cairo_t *cr, const Layout &L, const Lane &ln, int k, Rgb col) {
    if (k % 2 == 1) {
        cairo_set_source_rgb(cr, 0.975, 0.975, 0.98);
        cairo_rectangle(cr, L.timeX0, ln.y0, L.timeW, L.laneH);
        cairo_fill(cr);
        cairo_rectangle(cr, L.freqX0, ln.y0, L.freqW, L.laneH);
        cairo_fill(cr);
    }
    setRgb(cr, col);
    cairo_arc(cr, L.left - 20, (ln.y0 + ln.y1) / 2, std::min(11.0, L.laneH / 2 - 3), 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    textMid(cr, L.left - 20, (ln.y0 + ln.y1) / 2, std::to_string(k + 1), L.K >= 10 && k >= 9 ? 10 : 12, true, 0.5);
}

// The activation, drawn to the lane's height; its peak (the activations
// share one scale, largest 1) stands in the gap beside it.
void drawActivation(cairo_t *cr, const Layout &L, const Lane &ln, const std::vector<double> &a, Rgb col) {
    double peak = 0;
    for (double v : a) peak = std::max(peak, v);
    if (!a.empty()) {
        int n = static_cast<int>(a.size());
        cairo_new_path(cr);
        bool started = false;
        double lastX = 0;
        for (int x = 0; x <= static_cast<int>(L.timeW); ++x) {
            double fr = L.xToFrame(L.timeX0 + x);
            if (fr < 0 || fr > n - 1) continue;
            double v = peak > 0 ? sampleAt(a.data(), n, fr) / peak : 0;
            double yy = ln.cy1 - (ln.cy1 - ln.cy0) * std::clamp(v, 0.0, 1.0);
            if (!started) {
                cairo_move_to(cr, L.timeX0 + x, ln.cy1);
                started = true;
            }
            cairo_line_to(cr, L.timeX0 + x, yy);
            lastX = L.timeX0 + x;
        }
        if (started) {
            cairo_line_to(cr, lastX, ln.cy1);
            cairo_close_path(cr);
            fillAndOutline(cr, col);
        }
    }
    char pk[32];
    std::snprintf(pk, sizeof pk, "%.2f", peak);
    setRgb(cr, kGrey);
    textMid(cr, L.timeX1 + L.gap / 2, (ln.y0 + ln.y1) / 2, pk, 11, false, 0.5);
}

// A spectrum's curve on the log frequency axis, in dB below wmax, as a path
// closed along the lane's floor.
void basisPath(cairo_t *cr, const Layout &L, const Lane &ln, const std::vector<double> &w, double wmax) {
    int n = static_cast<int>(w.size());
    cairo_new_path(cr);
    cairo_move_to(cr, L.freqX0, ln.cy1);
    for (int x = 0; x <= static_cast<int>(L.freqW); ++x) {
        double f = L.fax.fromUnit(x / L.freqW);
        double v = sampleAt(w.data(), n, f / L.binHz) / wmax;
        double u = (20 * std::log10(v + 1e-12) + L.basisFloor) / L.basisFloor;
        cairo_line_to(cr, L.freqX0 + x, ln.cy1 - (ln.cy1 - ln.cy0) * std::clamp(u, 0.0, 1.0));
    }
    cairo_line_to(cr, L.freqX1, ln.cy1);
}

// A convolutive basis's spectra, first to last, as lines fading with time
// over the filled curve of their mean.
void drawSpan(cairo_t *cr, const Layout &L, const Lane &ln, const std::vector<std::vector<double>> &span) {
    double wmax = 0;
    for (const std::vector<double> &w : span)
        for (double v : w) wmax = std::max(v, wmax);
    if (wmax <= 0) return;
    cairo_set_line_width(cr, 0.8);
    for (size_t l = 0; l < span.size(); ++l) {
        if (span[l].empty()) continue;
        basisPath(cr, L, ln, span[l], wmax);
        setRgb(cr, kInk, 0.75 * (1.0 - static_cast<double>(l) / static_cast<double>(span.size())) + 0.1);
        cairo_stroke(cr);
    }
}

// The basis on the log frequency axis, in dB below its own peak, with a
// tick at its centroid and the centroid as label.
void drawBasis(cairo_t *cr, const Layout &L, const Lane &ln, const std::vector<double> &w, double c, int k, Rgb col,
               bool given) {
    double wmax = 0;
    for (double v : w) wmax = std::max(v, wmax);
    if (!w.empty() && wmax > 0) {
        basisPath(cr, L, ln, w, wmax);
        cairo_close_path(cr);
        fillAndOutline(cr, col);
    }
    if (std::isfinite(c) && c >= L.fax.lo && c <= L.fax.hi) {
        double x = L.freqX0 + L.freqW * L.fax.toUnit(c);
        setRgb(cr, kInk);
        cairo_set_line_width(cr, 1.5);
        cairo_move_to(cr, x, ln.cy1);
        cairo_line_to(cr, x, ln.cy1 - std::min(10.0, L.laneH * 0.3));
        cairo_stroke(cr);
    }
    setRgb(cr, kInk);
    std::string lab = std::to_string(k + 1) + "  " + hzLabel(c);
    const double size = std::min(12.0, L.laneH * 0.34), mid = (ln.y0 + ln.y1) / 2;
    textMid(cr, L.freqX1 + 8, given ? mid - size * 0.6 : mid, lab, size);
    if (given) {
        setRgb(cr, kGrey);
        textMid(cr, L.freqX1 + 8, mid + size * 0.7, "given", size, true);
    }
}

void drawLane(cairo_t *cr, const Layout &L, const PlotData &d, int k) {
    Rgb col = componentColour(static_cast<size_t>(k));
    Lane ln(L, k);
    drawLaneBackground(cr, L, ln, k, col);
    drawActivation(cr, L, ln, d.activations[static_cast<size_t>(k)], col);
    double c = k < static_cast<int>(d.centroidsHz.size()) ? d.centroidsHz[static_cast<size_t>(k)] : NAN;
    const bool given = k < d.given;
    drawBasis(cr, L, ln, d.bases[static_cast<size_t>(k)], c, k, col, given);
    if (static_cast<size_t>(k) < d.spanBases.size()) drawSpan(cr, L, ln, d.spanBases[static_cast<size_t>(k)]);
    if (given) {  // a ring round the number
        setRgb(cr, kInk);
        cairo_set_line_width(cr, 2);
        cairo_new_path(cr);
        cairo_arc(cr, L.left - 20, (ln.y0 + ln.y1) / 2, std::min(11.0, L.laneH / 2 - 3) + 2.5, 0, 2 * M_PI);
        cairo_stroke(cr);
    }
    // lane separators
    setRgb(cr, kRule);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, L.timeX0, std::floor(ln.y1) + 0.5);
    cairo_line_to(cr, L.timeX1, std::floor(ln.y1) + 0.5);
    cairo_move_to(cr, L.freqX0, std::floor(ln.y1) + 0.5);
    cairo_line_to(cr, L.freqX1, std::floor(ln.y1) + 0.5);
    cairo_stroke(cr);
}

// The frames round the lanes and the axes under them.
void drawLaneAxes(cairo_t *cr, const Layout &L) {
    setRgb(cr, kInk);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, L.timeX0 - 0.5, L.lanesY0 - 0.5, L.timeW + 1, L.laneH * L.K + 1);
    cairo_rectangle(cr, L.freqX0 - 0.5, L.lanesY0 - 0.5, L.freqW + 1, L.laneH * L.K + 1);
    cairo_stroke(cr);

    drawTimeTicks(cr, L, L.lanesY1 + 0.5);
    text(cr, L.timeX0 + L.timeW / 2, L.lanesY1 + 40, "Time (s)", 13, false, 0.5);
    for (double f : kFreqTicks) {
        if (f < L.fax.lo || f > L.fax.hi) continue;
        double x = L.freqX0 + L.freqW * L.fax.toUnit(f);
        setRgb(cr, kInk);
        cairo_move_to(cr, x, L.lanesY1);
        cairo_line_to(cr, x, L.lanesY1 + 5);
        cairo_stroke(cr);
        text(cr, x, L.lanesY1 + 19, tickHz(f), 12, false, 0.5);
    }
    text(cr, L.freqX0 + L.freqW / 2, L.lanesY1 + 40, "Frequency (Hz)", 13, false, 0.5);
}

}  // namespace

bool writePlot(const std::string &path, const PlotData &d, std::string &err) {
    const Layout L(d);
    cairo_surface_t *surf = cairo_image_surface_create(CAIRO_FORMAT_RGB24, L.width, L.height);
    cairo_t *cr = cairo_create(surf);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);

    drawTitle(cr, L, d);
    drawSpectrogram(cr, L, d);
    drawFrequencyAxis(cr, L);
    drawTimeTicks(cr, L, L.specY1 + 0.5);
    setRgb(cr, kInk);
    text(cr, L.timeX0 + L.timeW / 2, L.specY1 + 38, "Time (s)", 13, false, 0.5);
    drawColourScale(cr, L, d);
    drawLaneHeadings(cr, L);
    for (int k = 0; k < L.K; ++k) drawLane(cr, L, d, k);
    drawLaneAxes(cr, L);

    cairo_destroy(cr);
    cairo_surface_flush(surf);
    cairo_status_t st = cairo_surface_write_to_png(surf, path.c_str());
    cairo_surface_destroy(surf);
    // Give back the font caches, which would otherwise live until exit.
    cairo_debug_reset_static_data();
    if (st != CAIRO_STATUS_SUCCESS) {
        err = "cannot write '" + path + "': " + cairo_status_to_string(st);
        return false;
    }
    return true;
}

}  // namespace korvane
