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
