// Times one whole qm_klNMF call on a V read from a file of raw little-endian
// doubles (F x T, row-major), for the comparison script:
//   kv_nmf_time V.bin F T K iterations threads
// prints the seconds of the call.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "qm_matrixOps.h"

#ifdef _OPENMP
#include <omp.h>
#endif

int main(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s V.bin F T K iterations threads\n", argv[0]);
        return 2;
    }
    const int F = std::atoi(argv[2]), T = std::atoi(argv[3]), K = std::atoi(argv[4]);
    const int iter = std::atoi(argv[5]), threads = std::atoi(argv[6]);
    if (F <= 0 || T <= 0 || K <= 0 || iter < 0 || threads <= 0) {
        std::fprintf(stderr, "bad sizes\n");
        return 2;
    }
#ifdef _OPENMP
    omp_set_num_threads(threads);
#endif
    std::vector<double> V((size_t)F * T), W((size_t)F * K), H((size_t)K * T);
    std::FILE *f = std::fopen(argv[1], "rb");
    if (!f || std::fread(V.data(), sizeof(double), V.size(), f) != V.size()) {
        std::fprintf(stderr, "cannot read %zu doubles from %s\n", V.size(), argv[1]);
        if (f) std::fclose(f);
        return 1;
    }
    std::fclose(f);

    auto t0 = std::chrono::steady_clock::now();
    int rc = qm_klNMF(V.data(), F, T, K, iter, W.data(), H.data());
    auto t1 = std::chrono::steady_clock::now();
    if (rc != 0) {
        std::fprintf(stderr, "qm_klNMF failed\n");
        return 1;
    }
    std::printf("%.6f\n", std::chrono::duration<double>(t1 - t0).count());
    return 0;
}
