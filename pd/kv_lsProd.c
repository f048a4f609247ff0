/* kv_lsProd for Pd: stores a list from its right inlet and sends it out
 * scaled by every number that arrives, on either inlet. */
#include <limits.h>
#include <stdlib.h>

#include "m_pd.h"

typedef struct _kv_lsProd t_kv_lsProd;

/* the right inlet, which tells a number from a one-element list */
typedef struct _kv_lsProdInlet {
    t_pd pd;            /* Pd header, first */
    t_kv_lsProd *owner; /* the object fed */
} t_kv_lsProdInlet;

struct _kv_lsProd {
    t_object ob;            /* Pd header, first */
    t_float initArg;        /* creation argument, kept but unused */
    t_outlet *listOutlet;   /* the only outlet */
    t_kv_lsProdInlet right; /* right inlet */
    float *storedList;      /* the stored list, single precision; NULL when empty */
    int storedCount;        /* elements in storedList */
};

static t_class *kv_lsProd_class;
static t_class *kv_lsProd_inlet_class;

static void *kv_lsProd_new(t_floatarg arg)
{
    t_kv_lsProd *x = (t_kv_lsProd *)pd_new(kv_lsProd_class);
    x->right.pd = kv_lsProd_inlet_class;
    x->right.owner = x;
    inlet_new(&x->ob, &x->right.pd, 0, 0);
    x->listOutlet = outlet_new(&x->ob, &s_list);
    x->initArg = arg;
    x->storedList = NULL;
    x->storedCount = 0;
    return x;
}

static void kv_lsProd_free(t_kv_lsProd *x)
{
    free(x->storedList);
    x->storedList = NULL;
    x->storedCount = 0;
}

static void kv_lsProd_float(t_kv_lsProd *x, t_floatarg f)
{
    float g = (float)f;
    t_atom none;
    t_atom *out = &none;
    if (x->storedCount > 0) {
        out = (t_atom *)malloc((size_t)x->storedCount * sizeof(t_atom));
        if (!out) {
            pd_error(x, "Error: out of memory.");
            return;
        }
    }
    for (int i = 0; i < x->storedCount; i++) {
        float p = x->storedList[i] * g; /* product in single precision */
        SETFLOAT(out + i, (t_float)p);
    }
    outlet_list(x->listOutlet, &s_list, x->storedCount, out);
    if (out != &none) free(out);
}

/* a list on the left inlet is ignored, as the Max object does */
static void kv_lsProd_leftList(t_kv_lsProd *x, t_symbol *s, int argc, t_atom *argv)
{
    (void)x;
    (void)s;
    (void)argc;
    (void)argv;
}

static void kv_lsProd_rightFloat(t_kv_lsProdInlet *in, t_floatarg f)
{
    kv_lsProd_float(in->owner, f);
}

static void kv_lsProd_rightList(t_kv_lsProdInlet *in, t_symbol *s, int argc, t_atom *argv)
{
    (void)s;
    t_kv_lsProd *x = in->owner;
    /* the Max host's lists carry a 16-bit count; the store keeps within it */
    if (argc < 0 || !argv) argc = 0;
    if (argc > SHRT_MAX) argc = SHRT_MAX;
    /* the new store is taken before the old one goes, so a failed
     * allocation leaves the object as it was */
    float *list = NULL;
    if (argc > 0) {
        list = (float *)malloc((size_t)argc * sizeof(float));
        if (!list) {
            pd_error(x, "Error: out of memory.");
            return;
        }
        for (int i = 0; i < argc; i++) list[i] = (float)atom_getfloat(argv + i);
    }
    free(x->storedList);
    x->storedList = list;
    x->storedCount = argc;
}

__attribute__((visibility("default"))) void kv_lsProd_setup(void)
{
    t_class *c =
        class_new(gensym("kv_lsProd"), (t_newmethod)(void (*)(void))kv_lsProd_new,
                  (t_method)kv_lsProd_free, sizeof(t_kv_lsProd), CLASS_DEFAULT, A_DEFFLOAT, 0);
    class_addfloat(c, (t_method)kv_lsProd_float);
    class_addlist(c, (t_method)kv_lsProd_leftList);
    kv_lsProd_class = c;

    t_class *r = class_new(gensym("kv_lsProd inlet"), 0, 0, sizeof(t_kv_lsProdInlet), CLASS_PD, 0);
    class_addfloat(r, (t_method)kv_lsProd_rightFloat);
    class_addlist(r, (t_method)kv_lsProd_rightList);
    kv_lsProd_inlet_class = r;
    post("kv_lsProd object loaded...");
}
