/* Components grouped into sources. (to be written) */
#include "model_internal.h"

int kve_poolSize(int sources)
{
    return sources;
}

kve_status kve_groupComponents(const kve_streamShape *s, const double *W, const double *H,
                               int inner, int sources, int *groupOf)
{
    (void)s, (void)W, (void)H;
    if (inner < sources || sources < 1) return KVE_BAD_ARGUMENT;
    for (int i = 0; i < inner; i++) groupOf[i] = i % sources;
    return KVE_OK;
}
