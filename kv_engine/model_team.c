/* A team of threads over one job of the model rounds, with a barrier for
 * the steps of its rounds. Without OpenMP the job runs on the calling
 * thread. */
#include "model_internal.h"

#ifdef _OPENMP
#include <omp.h>
#include <pthread.h>
#endif

int kve_teamMost(void)
{
#ifdef _OPENMP
    const int n = omp_get_max_threads();
    return n > 1 ? n : 1;
#else
    return 1;
#endif
}

void kve_teamSync(const kve_team *team, int nt)
{
#ifdef _OPENMP
    if (nt > 1) pthread_barrier_wait((pthread_barrier_t *)team->bar);
#else
    (void)team, (void)nt;
#endif
}

void kve_teamRun(kve_team *team, int nth, void (*body)(void *job, int id, int nt), void *job)
{
#ifdef _OPENMP
    if (nth > 1) {
        pthread_barrier_t bar;
        int barOk = 1;
        team->bar = &bar;
#pragma omp parallel num_threads(nth)
        {
            /* the team may be smaller than asked for */
            const int nt = omp_get_num_threads();
#pragma omp single
            barOk = nt == 1 || pthread_barrier_init(&bar, NULL, (unsigned)nt) == 0;
            if (barOk)
                body(job, omp_get_thread_num(), nt);
            else if (omp_get_thread_num() == 0)
                body(job, 0, 1);
#pragma omp barrier
#pragma omp single
            if (barOk && nt > 1) pthread_barrier_destroy(&bar);
        }
        team->bar = NULL;
        return;
    }
#endif
    (void)nth;
    body(job, 0, 1);
}
