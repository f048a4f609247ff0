/* A team of threads over one job of the model rounds, with a barrier for
 * the steps of its rounds; and parts made by a team and added up in order.
 * Without OpenMP the job runs on the calling thread. */
#include "model_internal.h"

#ifdef _OPENMP
#include <omp.h>
#include <pthread.h>
#endif

#ifdef _OPENMP
/* the single-threaded BLAS keeps state of its own during a call */
static pthread_mutex_t kve_blasLock = PTHREAD_MUTEX_INITIALIZER;
#endif

void kve_blasBegin(void)
{
#ifdef _OPENMP
    pthread_mutex_lock(&kve_blasLock);
#endif
}

void kve_blasEnd(void)
{
#ifdef _OPENMP
    pthread_mutex_unlock(&kve_blasLock);
#endif
}

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

#ifdef _OPENMP
/* the turns of kve_teamOrdered's parts */
typedef struct {
    pthread_mutex_t lock;
    pthread_cond_t moved; /* a part made or added */
    int n, slots, next, added, adding;
    int made[KVE_MOST_SLOTS]; /* the part a slot holds once it is made, else -1 */
    void (*part)(void *job, int slot, int i);
    void (*inOrder)(void *job, int slot, int i);
    void *job;
} kve_turns;

/* each thread adds the next part when it is made and no one is adding it,
 * else makes the next part when its slot is free, else waits */
static void kve_turnsBody(void *job, int id, int nt)
{
    (void)id, (void)nt;
    kve_turns *t = job;
    pthread_mutex_lock(&t->lock);
    while (t->added < t->n) {
        const int a = t->added, i = t->next;
        if (!t->adding && t->made[a % t->slots] == a) {
            t->adding = 1;
            pthread_mutex_unlock(&t->lock);
            t->inOrder(t->job, a % t->slots, a);
            pthread_mutex_lock(&t->lock);
            t->made[a % t->slots] = -1;
            t->added = a + 1;
            t->adding = 0;
            pthread_cond_broadcast(&t->moved);
        } else if (i < t->n && i < a + t->slots) {
            t->next = i + 1;
            pthread_mutex_unlock(&t->lock);
            t->part(t->job, i % t->slots, i);
            pthread_mutex_lock(&t->lock);
            t->made[i % t->slots] = i;
            pthread_cond_broadcast(&t->moved);
        } else
            pthread_cond_wait(&t->moved, &t->lock);
    }
    pthread_mutex_unlock(&t->lock);
}
#endif

void kve_teamOrdered(int nth, int slots, int n, void (*part)(void *job, int slot, int i),
                     void (*inOrder)(void *job, int slot, int i), void *job)
{
#ifdef _OPENMP
    if (nth > 1 && slots > 1 && n > 1) {
        kve_turns t = {.n = n,
                       .slots = slots < KVE_MOST_SLOTS ? slots : KVE_MOST_SLOTS,
                       .part = part,
                       .inOrder = inOrder,
                       .job = job};
        for (int s = 0; s < KVE_MOST_SLOTS; s++) t.made[s] = -1;
        if (pthread_mutex_init(&t.lock, NULL) == 0) {
            if (pthread_cond_init(&t.moved, NULL) == 0) {
                kve_team team = {NULL};
                kve_teamRun(&team, nth, kve_turnsBody, &t);
                pthread_cond_destroy(&t.moved);
                pthread_mutex_destroy(&t.lock);
                return;
            }
            pthread_mutex_destroy(&t.lock);
        }
    }
#endif
    (void)nth, (void)slots;
    for (int i = 0; i < n; i++) {
        part(job, 0, i);
        inOrder(job, 0, i);
    }
}
