/* Which vector instructions this processor has, for the choice of the
 * model kernels' copies. */
#include "model_internal.h"

static int kve_cap = KVE_VECTOR_AVX512;

void kve_vectorCap(int most)
{
    kve_cap = most;
}

static int kve_detected(void)
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("fma"))
        return KVE_VECTOR_AVX512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return KVE_VECTOR_AVX2;
#endif
    return KVE_VECTOR_BASE;
}

int kve_vectorLevel(void)
{
    const int level = kve_detected();
    return level < kve_cap ? level : kve_cap;
}
