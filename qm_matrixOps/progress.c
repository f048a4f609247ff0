#include "qm_matrixOps.h"
#include "nmf_internal.h"

#include <stddef.h>

static qm_progressHook s_hook = NULL;
static void *s_user = NULL;

void qm_setProgressHook(qm_progressHook hook, void *user)
{
    s_hook = hook;
    s_user = user;
}

void qm_reportProgress(int done, int total)
{
    if (s_hook)
        s_hook(done, total, s_user);
}

int qm_nothingToDo(int F, int T, int K, int iter, qm_iterationFn fn, void *user, int *stopped)
{
    *stopped = 0;
    if (iter <= 0)
        return 1;
    if (F > 0 && T > 0 && K > 0)
        return 0;
    for (int i = 0; i < iter && !*stopped; i++) {
        qm_reportProgress(i + 1, iter);
        *stopped = fn && fn(i + 1, iter, user) != 0;
    }
    return 1;
}

int qm_nothingToIterate(int F, int T, int K, int iter)
{
    int stopped;
    return qm_nothingToDo(F, T, K, iter, NULL, NULL, &stopped);
}
