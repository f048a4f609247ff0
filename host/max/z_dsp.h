/* Stand-in for the host SDK's signal-object header. */
#ifndef KV_HOST_Z_DSP_H
#define KV_HOST_Z_DSP_H

#include "ext.h"

#ifdef __cplusplus
extern "C" {
#endif

/* header of a signal object; must come first in its record */
typedef struct t_pxobject {
    t_object z_ob;
    long z_in; /* signal inlets */
    short z_disabled;
} t_pxobject;

typedef void (*t_perfroutine64)(t_object *x, t_object *dsp64, double **ins, long numins, double **outs, long numouts,
                                long sampleframes, long flags, void *userparam);

void class_dspinit(t_class *c);
void z_dsp_setup(t_pxobject *x, short nsignals);
void z_dsp_free(t_pxobject *x);

#ifdef __cplusplus
}
#endif

#endif
