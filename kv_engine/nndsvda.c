/* The nndsvda start from a randomised truncated SVD of V. Dense work is
 * column-major for LAPACK; V (row-major rows x frames, floats) is read a
 * block of frames at a time, widened to doubles, as its column-major
 * transpose. */
#include <Accelerate/Accelerate.h>
#include <lapacke.h>
#include <math.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "model_internal.h"

/* enough that the start is the exact SVD's on the material measured, whatever
 * the seed: with two, a seed could settle in another factorisation, and with
 * five a pool of twelve on one row a bin */
enum { KVE_POWER_ROUNDS = 10 };

/* The products with V, a block of its frames at a time, so that each block
 * makes its share of the result once with the full inner size */
typedef enum {
    KVE_VT_Y, /* Z (frames x L) = V^T Y */
    KVE_V_Z,  /* Y (rows x L) = V Z */
    KVE_YT_V  /* B (L x frames) = Y^T V */
} kve_product;

/* Threads share a product without changing a bit of it: every block's
 * product is one call of the BLAS, as on one thread, and the calls are made
 * in order by one thread (a call cut into parts may round its last rows
 * otherwise, and the single-threaded BLAS must not be entered by two threads
 * at once). Meanwhile the team widens the next block into a second buffer. */
/* multiply-adds under which a second thread costs more than it saves */
#define KVE_THREAD_WORK ((double)(1 << 23))

typedef struct {
    const float *V;
    int rows, frames, L;
    int n;          /* frames of a block */
    int blocks;     /* blocks of frames */
    int nt;         /* threads */
    double *buf[2]; /* blocks of V as doubles, rows n apart; the second with threads */
} kve_vblocks;

/* frames of a block of V as doubles */
static int kve_blockFrames(int rows, int frames)
{
    const size_t n = KVE_BLOCK_DOUBLES / (size_t)rows;
    return n < 1 ? 1 : n > (size_t)frames ? frames : (int)n;
}

/* the threads the products run on */
static int kve_startTeam(int rows, int frames, int K)
{
    const double L = K + KVE_OVERSAMPLE;
    return (double)rows * (double)frames * L >= 2.0 * KVE_THREAD_WORK ? kve_teamMost() : 1;
}

int kve_startBlocks(int rows, int frames, int K)
{
    if (rows < 1 || frames < 1 || K < 1) return 1;
    const int blocks = (frames - 1) / kve_blockFrames(rows, frames) + 1;
    return kve_startTeam(rows, frames, K) > 1 && blocks > 1 ? 2 : 1;
}

static int kve_blocksOf(kve_vblocks *b, const float *V, int rows, int frames, int K, int L)
{
    b->n = kve_blockFrames(rows, frames);
    b->blocks = (frames - 1) / b->n + 1;
    b->V = V, b->rows = rows, b->frames = frames, b->L = L;
    b->nt = kve_startTeam(rows, frames, K);
    const size_t size = (size_t)b->n * (size_t)rows * sizeof(double);
    b->buf[0] = malloc(size);
    b->buf[1] = kve_startBlocks(rows, frames, K) > 1 ? malloc(size) : NULL;
    kve_adviseLarge(b->buf[0], size);
    kve_adviseLarge(b->buf[1], size);
    return b->buf[0] && (b->buf[1] || kve_startBlocks(rows, frames, K) < 2) ? 0 : -1;
}

static void kve_blocksFree(kve_vblocks *b)
{
    free(b->buf[0]);
    free(b->buf[1]);
}

/* rows [r0, r1) of block i of V as doubles into d, rows n apart */
static void kve_widen(const kve_vblocks *b, int i, int r0, int r1, double *d)
{
    const int t0 = i * b->n, n = b->frames - t0 < b->n ? b->frames - t0 : b->n;
    for (int r = r0; r < r1; r++) {
        const float *v = b->V + (size_t)r * b->frames + t0;
        double *o = d + (size_t)r * n;
        for (int t = 0; t < n; t++) o[t] = v[t];
    }
}

/* block i's product, from its widened block in d */
static void kve_blockProduct(const kve_vblocks *b, kve_product op, int i, const double *d,
                             const double *in, double *out)
{
    const int frames = b->frames, rows = b->rows, L = b->L, t0 = i * b->n;
    const int n = frames - t0 < b->n ? frames - t0 : b->n;
    if (op == KVE_VT_Y)
        cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, L, rows, 1.0, d, n, in, rows, 0.0,
                    out + t0, frames);
    else if (op == KVE_V_Z)
        cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, rows, L, n, 1.0, d, n, in + t0, frames,
                    t0 ? 1.0 : 0.0, out, rows);
    else
        cblas_dgemm(CblasColMajor, CblasTrans, CblasTrans, L, n, rows, 1.0, in, rows, d, n, 0.0,
                    out + (size_t)t0 * L, L);
}

typedef struct {
    const kve_vblocks *b;
    kve_product op;
    const double *in;
    double *out;
    kve_team team;
    atomic_int rows[2]; /* the next rows of a block to widen, by the block's parity */
} kve_multiplyJob;

/* rows to widen at a time */
enum { KVE_WIDEN_ROWS = 64 };

/* block i widened into d by the team, its rows taken in turn */
static void kve_widenShare(kve_multiplyJob *j, int i, double *d)
{
    const kve_vblocks *b = j->b;
    atomic_int *next = &j->rows[i % 2];
    for (int r = atomic_fetch_add(next, KVE_WIDEN_ROWS); r < b->rows;
         r = atomic_fetch_add(next, KVE_WIDEN_ROWS))
        kve_widen(b, i, r, r + KVE_WIDEN_ROWS < b->rows ? r + KVE_WIDEN_ROWS : b->rows, d);
}

/* thread 0 makes block i's product, then helps the others widen block
 * i + 1; block i + 2's rows are counted afresh meanwhile */
static void kve_multiplyPart(void *job, int id, int nt)
{
    kve_multiplyJob *j = job;
    const kve_vblocks *b = j->b;
    if (nt < 2) {
        for (int i = 0; i < b->blocks; i++) {
            kve_widen(b, i, 0, b->rows, b->buf[0]);
            kve_blockProduct(b, j->op, i, b->buf[0], j->in, j->out);
        }
        return;
    }
    kve_widenShare(j, 0, b->buf[0]);
    for (int i = 0; i < b->blocks; i++) {
        kve_teamSync(&j->team, nt);
        if (id == 0) {
            atomic_store(&j->rows[i % 2], 0);
            kve_blockProduct(b, j->op, i, b->buf[i % 2], j->in, j->out);
        }
        if (i + 1 < b->blocks) kve_widenShare(j, i + 1, b->buf[(i + 1) % 2]);
    }
}

static void kve_multiply(const kve_vblocks *b, kve_product op, const double *in, double *out)
{
    kve_multiplyJob j = {b, op, in, out, {NULL}, {0, 0}};
    kve_teamRun(&j.team, b->nt, kve_multiplyPart, &j);
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
    int rc = kve_blocksOf(&b, V, rows, frames, K, L);
    /* the BLAS and LAPACK calls, one at a time in the process: a start on
     * another thread (a second run in the same program) waits */
    kve_blasBegin();
    rc = rc == 0 && Y && Z ? kve_rangeOf(&b, seed, Y, Z) : -1;
    if (rc == 0) { /* B = Y^T V, L x frames, in Z's place */
        kve_multiply(&b, KVE_YT_V, Y, Z);
        rc = kve_fromRange(Y, Z, rows, frames, K, L, W, H);
    }
    kve_blasEnd();
    kve_blocksFree(&b);
    free(Y);
    free(Z);
    for (size_t i = 0; i < nW && rc == 0; i++)
        if (!(W[i] > 0)) W[i] = avg;
    for (size_t i = 0; i < nH && rc == 0; i++)
        if (!(H[i] > 0)) H[i] = avg;
    return rc;
}
