/* kv_lsProd: stores a list from its right inlet and sends it out scaled by
 * every number that arrives. */
#include "ext.h"
#include "ext_obex.h"

#include <limits.h>
#include <stdlib.h>

typedef struct _kv_lsProd {
    t_object ob;             /* host header, first */
    t_atom_long initArg;     /* creation argument, kept but unused */
    void *listOutlet;        /* the only outlet */
    long inletNum;           /* written by the proxy */
    void *proxy1;            /* right inlet */
    float *storedList;       /* the stored list, single precision; NULL when empty */
    t_atom_long storedCount; /* elements in storedList */
} t_kv_lsProd;

void *kv_lsProd_new(t_atom_long arg);
void kv_lsProd_free(t_kv_lsProd *x);
void kv_lsProd_float(t_kv_lsProd *x, double f);
void kv_lsProd_listIn(t_kv_lsProd *x, t_symbol *s, t_atom_long argc, t_atom *argv);

static t_class *kv_lsProd_class;

void ext_main(void *r)
{
    (void)r;
    t_class *c = class_new("kv_lsProd", (method)kv_lsProd_new, (method)kv_lsProd_free,
                           (long)sizeof(t_kv_lsProd), 0L, A_DEFLONG, 0);
    class_addmethod(c, (method)kv_lsProd_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)kv_lsProd_listIn, "list", A_GIMME, 0);
    class_register(gensym("box"), c);
    kv_lsProd_class = c;
    object_post(NULL, "kv_lsProd object loaded...");
}

void *kv_lsProd_new(t_atom_long arg)
{
    t_kv_lsProd *x = (t_kv_lsProd *)object_alloc(kv_lsProd_class);
    if (!x) return NULL;
    x->proxy1 = proxy_new(x, 1, &x->inletNum);
    x->listOutlet = listout(x);
    x->initArg = arg;
    x->storedList = NULL;
    x->storedCount = 0;
    return x;
}

void kv_lsProd_free(t_kv_lsProd *x)
{
    free(x->storedList);
    x->storedList = NULL;
    x->storedCount = 0;
    if (x->proxy1) object_free(x->proxy1);
}

void kv_lsProd_float(t_kv_lsProd *x, double f)
{
    float g = (float)f;
    t_atom none;
    t_atom *out = &none;
    if (x->storedCount > 0) {
        out = (t_atom *)malloc((size_t)x->storedCount * sizeof(t_atom));
        if (!out) {
            object_error(NULL, "Error: out of memory.");
            return;
        }
    }
    for (t_atom_long i = 0; i < x->storedCount; i++) {
        float p = x->storedList[i] * g; /* product in single precision */
        atom_setfloat(out + i, (double)p);
    }
    outlet_list(x->listOutlet, NULL, (short)x->storedCount, out);
    if (out != &none) free(out);
}

void kv_lsProd_listIn(t_kv_lsProd *x, t_symbol *s, t_atom_long argc, t_atom *argv)
{
    (void)s;
    if (proxy_getinlet((t_object *)x) != 1) return;
    /* the host's lists carry a 16-bit count; keep the store within it */
    if (argc < 0 || !argv) argc = 0;
    if (argc > SHRT_MAX) argc = SHRT_MAX;
    /* the new store is taken before the old one goes, so a failed
     * allocation leaves the object as it was */
    float *list = NULL;
    if (argc > 0) {
        list = (float *)malloc((size_t)argc * sizeof(float));
        if (!list) {
            object_error(NULL, "Error: out of memory.");
            return;
        }
        for (t_atom_long i = 0; i < argc; i++) list[i] = (float)atom_getfloat(argv + i);
    }
    free(x->storedList);
    x->storedList = list;
    x->storedCount = argc;
}
