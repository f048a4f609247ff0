// The nndsvda start and the exact costs on a spectrogram of a minute of
// stereo (4098 rows x 5200 frames, K = 16), or the size given: the best wall
// time of a few runs and a hash of the results' bits, which must not change
// with the thread count (OMP_NUM_THREADS=1 or 2).
// Usage: kv_start_cost_time [rows frames K runs]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kv_stream.h"

namespace {
double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
uint64_t hashOf(const void *p, size_t n) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * 1099511628211ULL;
    return h;
}
}  // namespace

int main(int argc, char **argv) {
    const int rows = argc > 1 ? atoi(argv[1]) : 4098, frames = argc > 2 ? atoi(argv[2]) : 5200;
    const int K = argc > 3 ? atoi(argv[3]) : 16, reps = argc > 4 ? atoi(argv[4]) : 3;
    std::vector<float> V(static_cast<size_t>(rows) * frames);
    uint64_t s = 7;
    for (int r = 0; r < rows; r++)
        for (int t = 0; t < frames; t++) {
            s = s * 6364136223846793005ULL + 1442695040888963407ULL;
            const double noise = (double)(s >> 11) / 9007199254740992.0;
            double v = 0;
            for (int k = 0; k < 4; k++)
                v += (1.0 + std::sin(r * (k + 1) * 0.013)) * (1.0 + std::cos(t * (k + 2) * 0.007));
            V[(size_t)r * frames + t] = noise < 0.05 ? 0.0f : (float)(1e-3 * v * (0.5 + noise));
        }
    std::vector<double> W((size_t)rows * K), H((size_t)K * frames);
    double best = 1e30;
    for (int i = 0; i < reps; i++) {
        const double t0 = now();
        if (kve_nndsvdaStart(V.data(), rows, frames, K, 3, W.data(), H.data()) != 0) return 1;
        best = std::min(best, now() - t0);
    }
    const char *threads = getenv("OMP_NUM_THREADS");
    printf("threads %s\n", threads ? threads : "(all)");
    printf("start %dx%d K=%d: %.3f s  W %016llx H %016llx\n", rows, frames, K, best,
           (unsigned long long)hashOf(W.data(), W.size() * 8), (unsigned long long)hashOf(H.data(), H.size() * 8));
    const struct {
        const char *name;
        int kind;
        double beta;
    } costs[] = {{"kl", 0, 1}, {"euclidean", 1, 2}, {"beta 0.5", 2, 0.5}, {"beta 1 (model)", 2, 1}};
    for (const auto &c : costs) {
        double b = 1e30, d = 0;
        for (int i = 0; i < reps; i++) {
            const double t0 = now();
            d = c.kind == 0   ? kve_cost(KVE_KULLBACK_LEIBLER, V.data(), W.data(), H.data(), rows, frames, K)
                : c.kind == 1 ? kve_cost(KVE_EUCLIDEAN, V.data(), W.data(), H.data(), rows, frames, K)
                              : kve_betaDivergence(c.beta, V.data(), W.data(), H.data(), rows, frames, K, 1);
            b = std::min(b, now() - t0);
        }
        printf("cost %-15s %.3f s  %.17g %016llx\n", c.name, b, d, (unsigned long long)hashOf(&d, 8));
    }
    return 0;
}
