/* The analysis shape: FFT size, hop, frames and bins from the settings, the
 * rate and the length, or the reason there is none. Every value is derived
 * in double precision first, so that none is converted to an integer before
 * it is known to fit. */
#include <limits.h>
#include <math.h>

#include "kv_engine_private.h"

/* hop of an fft-point window; the fraction is single precision, as set */
static double kve_hopFor(double fft, float hopFraction)
{
    double hop = 0.0;
    if (fft > 0.0 && fft <= 0x1p100) /* within float range; far above any limit */
        hop = round((double)((float)fft * hopFraction));
    else if (fft > 0.0)
        hop = round(fft * hopFraction);
    return isfinite(hop) ? hop : 0.0;
}

/* frames of a sound of n samples; no frame ends past the last sample */
static double kve_framesFor(double fft, double hop, float hopFraction, double n)
{
    if (!(hop >= 1.0)) return 0.0;
    double frames = floor(n / hop) - round((double)(1.0f / hopFraction));
    double fit = floor((n - fft) / hop) + 1.0;
    if (frames > fit) frames = fit;
    return isfinite(frames) ? frames : 0.0;
}

/* seconds of the longest power-of-two window (down from top) that gives
 * the sound at least one frame, 0 when none does */
static double kve_longestFitting(const kve_shapeInput *in, float hf, double top)
{
    for (double p = top; p >= 2.0; p /= 2.0) {
        double hop = kve_hopFor(p, hf);
        if (kve_framesFor(p, hop, hf, in->numSamples) >= 1.0) return p / in->sampleRate;
    }
    return 0.0;
}

/* seconds of the shortest power-of-two window from fft up whose frames stay
 * within the limit, 0 when none does */
static double kve_shortestWithin(const kve_shapeInput *in, float hf, double fft, double limit)
{
    for (double p = fft; p <= KVE_LARGEST_FFT; p *= 2.0) {
        double hop = kve_hopFor(p, hf);
        double frames = kve_framesFor(p, hop, hf, in->numSamples);
        if (hop >= 1.0 && frames <= limit) return frames >= 1.0 ? p / in->sampleRate : 0.0;
    }
    return 0.0;
}

static kve_status kve_refuse(const kve_shapeInput *in, float hf, const kve_shapeDetail *d,
                             kve_shapeDetail *out)
{
    kve_shapeDetail r = *d;
    /* no limit, or one past what an int holds, is the largest an int holds */
    double frameLimit =
        in->maxFrames > 0 && in->maxFrames < INT_MAX ? in->maxFrames : (double)INT_MAX;
    double binLimit = in->maxBins > 0 && in->maxBins < KVE_LARGEST_FFT / 2 + 1
                          ? in->maxBins
                          : KVE_LARGEST_FFT / 2 + 1;
    kve_status code = KVE_OK;
    if (!isfinite(in->window) || !isfinite(in->sampleRate) ||
        !(round((double)in->window * in->sampleRate) >= 2.0)) {
        code = KVE_WINDOW_TOO_SHORT;
        r.fitWindow = in->sampleRate > 0 && isfinite(in->sampleRate) ? 2.0 / in->sampleRate : 0.0;
    } else if (!(d->hop >= 1.0)) {
        code = KVE_HOP_TOO_SHORT;
        r.fitWindow = hf > 0.0f ? 0.5 / hf / in->sampleRate : 0.0;
    } else if (!(d->frames >= 1.0)) {
        code = KVE_SOUND_TOO_SHORT;
        r.fitWindow = kve_longestFitting(in, hf, d->fftSize / 2.0);
    } else if (d->frames > frameLimit) {
        code = KVE_TOO_MANY_FRAMES;
        r.limit = frameLimit;
        r.fitWindow = kve_shortestWithin(in, hf, d->fftSize * 2.0, frameLimit);
    } else if (d->bins > binLimit || d->fftSize > KVE_LARGEST_FFT) {
        code = KVE_TOO_MANY_BINS;
        r.limit = binLimit;
        double p = d->fftSize;
        while (p >= 2.0 && floor(p / 2.0) + 1.0 > binLimit) p /= 2.0;
        r.fitWindow = p >= 2.0 ? p / in->sampleRate : 0.0;
    } else if (in->numSamples > INT_MAX) {
        /* sample indices (and a hop as long as the sound) past int */
        code = KVE_SOUND_TOO_LONG;
        r.limit = INT_MAX;
    }
    if (out) *out = r;
    return code;
}

void kve_fftAndHop(double n, float hopFraction, double *fft, double *hop)
{
    *fft = 0.0;
    if (isfinite(n) && n >= 1.0) *fft = pow(2.0, ceil(log2(n)));
    if (!isfinite(*fft)) *fft = 0.0;
    *hop = kve_hopFor(*fft, hopFraction);
}

kve_status kve_shapeOf(const kve_shapeInput *in, kve_shape *shape, kve_shapeDetail *detail)
{
    double n = round((double)in->window * in->sampleRate);
    float hopFraction = 1.0f - in->overlap;
    kve_shapeDetail d = {0};
    kve_fftAndHop(n, hopFraction, &d.fftSize, &d.hop);
    double fft = d.fftSize;
    d.frames = kve_framesFor(fft, d.hop, hopFraction, in->numSamples);
    d.bins = fft > 0.0 ? floor(fft / 2.0) + 1.0 : 0.0;
    d.length = in->numSamples;

    kve_status code = kve_refuse(in, hopFraction, &d, detail);
    if (code == KVE_OK && shape) {
        /* the limits keep every count and product within int */
        shape->fftSize = (int)d.fftSize;
        shape->hop = (int)d.hop;
        shape->frames = (int)d.frames;
        shape->bins = (int)d.bins;
    }
    return code;
}
