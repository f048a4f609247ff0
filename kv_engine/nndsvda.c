/* The nndsvda start from a randomised truncated SVD of V. Dense work is
 * column-major for LAPACK; V (row-major rows x frames, floats) is read a
 * block of frames at a time, widened to doubles, as its column-major
 * transpose. */
#include <Accelerate/Accelerate.h>
#include <lapacke.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "kv_engine_private.h"

enum { KVE_POWER_ROUNDS = 2 };

/* The products with V, a block of its frames at a time, so that each block
 * makes its share of the result once with the full inner size */
typedef enum {
    KVE_VT_Y, /* Z (frames x L) = V^T Y */
    KVE_V_Z,  /* Y (rows x L) = V Z */
    KVE_YT_V  /* B (L x frames) = Y^T V */
} kve_product;

typedef struct {
    const float *V;
    int rows, frames, L;
    double *buf; /* n frames of every row of V as doubles, rows n apart */
    int n;
} kve_vblocks;

static int kve_blocksOf(kve_vblocks *b, const float *V, int rows, int frames, int L)
{
    size_t n = KVE_BLOCK_DOUBLES / (size_t)rows;
    b->n = n < 1 ? 1 : n > (size_t)frames ? frames : (int)n;
    b->V = V, b->rows = rows, b->frames = frames, b->L = L;
    b->buf = malloc((size_t)b->n * (size_t)rows * sizeof *b->buf);
    return b->buf ? 0 : -1;
}

static void kve_multiply(const kve_vblocks *b, kve_product op, const double *in, double *out)
{
    const int frames = b->frames, rows = b->rows, L = b->L;
    for (int t0 = 0; t0 < frames; t0 += b->n) {
        const int n = frames - t0 < b->n ? frames - t0 : b->n;
        for (int r = 0; r < rows; r++) {
            const float *v = b->V + (size_t)r * frames + t0;
            double *d = b->buf + (size_t)r * n;
            for (int i = 0; i < n; i++) d[i] = v[i];
        }
        if (op == KVE_VT_Y)
            cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, L, rows, 1.0, b->buf, n, in,
                        rows, 0.0, out + t0, frames);
        else if (op == KVE_V_Z)
            cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, rows, L, n, 1.0, b->buf, n,
                        in + t0, frames, t0 ? 1.0 : 0.0, out, rows);
        else
            cblas_dgemm(CblasColMajor, CblasTrans, CblasTrans, L, n, rows, 1.0, in, rows, b->buf, n,
                        0.0, out + (size_t)t0 * L, L);
    }
}

/* uniform in [-1, 1) (splitmix64) */
static double kve_draw(uint64_t *s)
{
    uint64_t z = (*s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return (double)(z >> 11) / 4503599627370496.0 - 1.0;
}

/* A (m x n, m >= n) replaced by an orthonormal basis of its columns */
static int kve_orth(double *A, int m, int n)
{
    double q = 0;
    int info = (int)LAPACKE_dgeqrf_work(LAPACK_COL_MAJOR, m, n, A, m, NULL, &q, -1);
    int lwork = (int)q > n ? (int)q : n;
    lwork *= 2;
    double *tau = malloc(((size_t)n + (size_t)lwork) * sizeof *tau);
    if (!tau) return -1;
    double *work = tau + n;
    if (info == 0) info = (int)LAPACKE_dgeqrf_work(LAPACK_COL_MAJOR, m, n, A, m, tau, work, lwork);
    if (info == 0)
        info = (int)LAPACKE_dorgqr_work(LAPACK_COL_MAJOR, m, n, n, A, m, tau, work, lwork);
    free(tau);
    return info == 0 ? 0 : -1;
}

/* Y (rows x L): an orthonormal basis of V's range after the power rounds */
static int kve_rangeOf(const kve_vblocks *b, unsigned seed, double *Y, double *Z)
{
    uint64_t s = seed;
    for (size_t i = 0; i < (size_t)b->frames * (size_t)b->L; i++) Z[i] = kve_draw(&s);
    for (int p = 0; p <= KVE_POWER_ROUNDS; p++) {
        if (p > 0) {
            kve_multiply(b, KVE_VT_Y, Y, Z);
            if (kve_orth(Z, b->frames, b->L)) return -1;
        }
        kve_multiply(b, KVE_V_Z, Z, Y);
        if (kve_orth(Y, b->rows, b->L)) return -1;
    }
    return 0;
}

/* G (L x L) = eigenvectors of B B^T, ascending eigenvalues in ev */
static int kve_smallEigen(const double *B, int L, int frames, double *G, double *ev)
{
    cblas_dsyrk(CblasColMajor, CblasUpper, CblasNoTrans, L, frames, 1.0, B, L, 0.0, G, L);
    int iq = 0;
    double q = 0;
    int info = (int)LAPACKE_dsyevd_work(LAPACK_COL_MAJOR, 'V', 'U', L, G, L, ev, &q, -1, &iq, -1);
    int lwork = (int)q, liwork = iq;
    double *work = malloc((size_t)lwork * sizeof *work);
    int *iwork = malloc((size_t)liwork * sizeof *iwork);
    if (work && iwork)
        info = (int)LAPACKE_dsyevd_work(LAPACK_COL_MAJOR, 'V', 'U', L, G, L, ev, work, lwork, iwork,
                                        liwork);
    else
        info = -1;
    free(work);
    free(iwork);
    return info == 0 ? 0 : -1;
}

/* the larger signed part of the pair (u, v), scaled to share sqrt(s |.||.|) */
static void kve_nndsvdPair(double *u, int rows, double *v, int frames, double s)
{
    double up = 0, un = 0, vp = 0, vn = 0;
    for (int i = 0; i < rows; i++) u[i] > 0 ? (up += u[i] * u[i]) : (un += u[i] * u[i]);
    for (int i = 0; i < frames; i++) v[i] > 0 ? (vp += v[i] * v[i]) : (vn += v[i] * v[i]);
    up = sqrt(up), un = sqrt(un), vp = sqrt(vp), vn = sqrt(vn);
    int pos = up * vp >= un * vn;
    double nu = pos ? up : un, nv = pos ? vp : vn, sign = pos ? 1.0 : -1.0;
    double lambda = sqrt(s * nu * nv);
    for (int i = 0; i < rows; i++) u[i] = sign * u[i] > 0 && nu > 0 ? lambda * sign * u[i] / nu : 0;
    for (int i = 0; i < frames; i++)
        v[i] = sign * v[i] > 0 && nv > 0 ? lambda * sign * v[i] / nv : 0;
}

static double kve_mean(const float *V, size_t n)
{
    double m = 0;
    for (size_t i = 0; i < n; i++) m += V[i];
    return m / (double)n;
}

/* W and H from the range Y and B = Y^T V */
static int kve_fromRange(const double *Y, const double *B, int rows, int frames, int K, int L,
                         double *W, double *H)
{
    double *G = malloc(((size_t)L * L + L + rows + frames) * sizeof *G);
    if (!G) return -1;
    double *ev = G + (size_t)L * L, *u = ev + L, *v = u + rows;
    int rc = kve_smallEigen(B, L, frames, G, ev);
    for (int j = 0; j < K && rc == 0; j++) {
        const double *g = G + (size_t)(L - 1 - j) * L;
        double s = sqrt(ev[L - 1 - j] > 0 ? ev[L - 1 - j] : 0);
        cblas_dgemv(CblasColMajor, CblasNoTrans, rows, L, 1.0, Y, rows, g, 1, 0.0, u, 1);
        cblas_dgemv(CblasColMajor, CblasTrans, L, frames, s > 0 ? 1.0 / s : 0.0, B, L, g, 1, 0.0, v,
                    1);
        kve_nndsvdPair(u, rows, v, frames, s);
        for (int r = 0; r < rows; r++) W[(size_t)r * K + j] = u[r];
        memcpy(H + (size_t)j * frames, v, (size_t)frames * sizeof *v);
    }
    free(G);
    return rc;
}

int kve_nndsvdaStart(const float *V, int rows, int frames, int K, unsigned seed, double *W,
                     double *H)
{
    size_t nW = (size_t)rows * K, nH = (size_t)K * frames;
    double avg = kve_mean(V, (size_t)rows * frames);
    if (!(avg > 0) || K > rows || K > frames) {
        kve_randomStart(seed, rows, frames, K, W, H);
        double scale = avg > 0 ? sqrt(avg / K) : 1.0;
        for (size_t i = 0; i < nW; i++) W[i] *= scale;
        for (size_t i = 0; i < nH; i++) H[i] *= scale;
        return 0;
    }
    int L = K + KVE_OVERSAMPLE;
    if (L > rows) L = rows;
    if (L > frames) L = frames;
    double *Y = malloc((size_t)rows * L * sizeof *Y);
    double *Z = malloc((size_t)frames * L * sizeof *Z);
    kve_vblocks b;
    int rc = kve_blocksOf(&b, V, rows, frames, L);
    rc = rc == 0 && Y && Z ? kve_rangeOf(&b, seed, Y, Z) : -1;
    if (rc == 0) { /* B = Y^T V, L x frames, in Z's place */
        kve_multiply(&b, KVE_YT_V, Y, Z);
        rc = kve_fromRange(Y, Z, rows, frames, K, L, W, H);
    }
    free(b.buf);
    free(Y);
    free(Z);
    for (size_t i = 0; i < nW && rc == 0; i++)
        if (!(W[i] > 0)) W[i] = avg;
    for (size_t i = 0; i < nH && rc == 0; i++)
        if (!(H[i] > 0)) H[i] = avg;
    return rc;
}
