/* korvane~ for Pd: class setup, creation and deletion, the inlets and the
 * setting messages. The messages and console texts are the Max object's;
 * "seed" and "stop" are Pd's own. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>

#include "korvane_pd.h"

static t_class *korvane_class;
static t_class *kv_proxy_class;

/* the Max host converts a number for "int" this way */
static long kv_toLong(t_float f)
{
    if (isnan(f)) return 0;
    if (f >= 9.2233720368547758e18) return LONG_MAX;
    if (f <= -9.2233720368547758e18) return LONG_MIN;
    return (long)f;
}

/* proxies: the object sees the inlet number while it handles the message */
static void kv_forward(t_kv_proxy *p, t_symbol *s, int argc, t_atom *argv)
{
    t_korvane *x = p->owner;
    int saved = x->inletNum;
    x->inletNum = p->inlet;
    pd_typedmess(&x->ob.ob_pd, s, argc, argv);
    x->inletNum = saved;
}

static void kv_proxyBang(t_kv_proxy *p)
{
    kv_forward(p, &s_bang, 0, NULL);
}

static void kv_proxyFloat(t_kv_proxy *p, t_float f)
{
    t_atom a;
    SETFLOAT(&a, f);
    kv_forward(p, &s_float, 1, &a);
}

static void kv_proxyList(t_kv_proxy *p, t_symbol *s, int argc, t_atom *argv)
{
    (void)s;
    kv_forward(p, &s_list, argc, argv);
}

static void kv_proxyAnything(t_kv_proxy *p, t_symbol *s, int argc, t_atom *argv)
{
    kv_forward(p, s, argc, argv);
}

static void *korvane_new(t_symbol *s, int argc, t_atom *argv)
{
    (void)s;
    (void)argc;
    (void)argv; /* creation arguments change nothing */
    t_korvane *x = (t_korvane *)pd_new(korvane_class);
    kve_init(&x->eng);
    x->eng.maskEmpty = false; /* a bang before any decomposition reports what is missing */
    x->proxy1.pd = x->proxy2.pd = kv_proxy_class;
    x->proxy1.owner = x->proxy2.owner = x;
    x->proxy1.inlet = 1;
    x->proxy2.inlet = 2;
    inlet_new(&x->ob, &x->proxy1.pd, 0, 0);
    inlet_new(&x->ob, &x->proxy2.pd, 0, 0);
    x->actOutlet = outlet_new(&x->ob, &s_list);
    x->baseOutlet = outlet_new(&x->ob, &s_list);
    x->doneOutlet = outlet_new(&x->ob, &s_bang);
    x->poll = clock_new(x, (t_method)kv_pollJob);
    atomic_init(&x->job.stop, 0);
    atomic_init(&x->job.done, 0);
    atomic_init(&x->job.rounds, 0);
    atomic_init(&x->job.total, 0);
    kv_post("korvane~ external loaded. v0.4 by the korvane team, 2026");
    return x;
}

static void korvane_free(t_korvane *x)
{
    kv_stopJob(x); /* the worker uses the record until it is joined */
    clock_free(x->poll);
    kve_free(&x->eng);
    KVE_RELEASE(x->actList);
    KVE_RELEASE(x->baseList);
}

static void korvane_K(t_korvane *x, t_float f)
{
    x->K = kv_toLong(f);
    kv_post("number of components set to %u", (unsigned)x->K);
}

/* a setting that arrives during a run applies once the run has ended */
static void korvane_setWin(t_korvane *x, t_floatarg v)
{
    if (x->job.running) {
        x->pendingWin = true;
        x->winValue = (float)v;
        return;
    }
    x->eng.settings.window = (float)v;
    kve_settingsChanged(&x->eng);
}

static void korvane_setHop(t_korvane *x, t_floatarg v)
{
    if (x->job.running) {
        x->pendingHop = true;
        x->hopValue = (float)v;
        return;
    }
    x->eng.settings.overlap = 1.0f - (float)v;
    kve_settingsChanged(&x->eng);
}

static void korvane_loadBuffer(t_korvane *x, t_symbol *s)
{
    kv_stopJob(x); /* the run belongs to the sound being replaced */
    kv_loadArrays(x, s);
}

static void korvane_decomp(t_korvane *x, t_symbol *s)
{
    (void)s;
    kv_startDecomp(x, true);
}

static void korvane_decompNoOut(t_korvane *x, t_symbol *s)
{
    (void)s;
    kv_startDecomp(x, false);
}

/* "seed N": every later decomposition starts from the sequence srand(N)
 * gives rand(); "seed" alone goes back to rand() itself */
static void korvane_seed(t_korvane *x, t_symbol *s, int argc, t_atom *argv)
{
    (void)s;
    if (argc < 1) {
        x->seeded = false;
        return;
    }
    t_float f = atom_getfloat(argv);
    if (argv[0].a_type != A_FLOAT || !(f >= 0 && (double)f < 4294967296.0) || f != floorf(f)) {
        kv_error(x, "korvane~: seed must be a whole number from 0 to %u", UINT_MAX);
        return;
    }
    x->seeded = true;
    x->seed = (unsigned)f;
}

/* "progress NAME": while a decomposition runs, the share of its rounds done
 * (0 to 1) goes to the receiver NAME; "progress" alone stops it */
static void korvane_progress(t_korvane *x, t_symbol *s)
{
    x->progressTo = s && *s->s_name ? s : NULL;
}

static void korvane_stop(t_korvane *x)
{
    kv_stopJob(x);
}

static void korvane_list(t_korvane *x, t_symbol *s, int argc, t_atom *argv)
{
    (void)s;
    if (x->inletNum == 1)
        kv_actListIn(x, argc, argv);
    else if (x->inletNum == 2)
        kv_baseListIn(x, argc, argv);
}

static void korvane_bang(t_korvane *x)
{
    if (x->inletNum != 2) return;
    if (x->job.running) {
        kv_error(x, "Resynthesis error: a decomposition is running");
        return;
    }
    if (!x->eng.maskEmpty) kv_doResynth(x);
}

KV_PD_EXPORT void korvane_tilde_setup(void)
{
    t_class *c = class_new(gensym("korvane~"), (t_newmethod)(void (*)(void))korvane_new,
                           (t_method)korvane_free, sizeof(t_korvane), CLASS_DEFAULT, A_GIMME, 0);
    class_addfloat(c, (t_method)korvane_K);
    class_addmethod(c, (t_method)korvane_decomp, gensym("decomp"), A_DEFSYM, 0);
    class_addmethod(c, (t_method)korvane_decompNoOut, gensym("decompNoOut"), A_DEFSYM, 0);
    class_addmethod(c, (t_method)korvane_loadBuffer, gensym("loadBuffer"), A_DEFSYM, 0);
    class_addlist(c, (t_method)korvane_list);
    class_addbang(c, (t_method)korvane_bang);
    class_addmethod(c, (t_method)korvane_setWin, gensym("setWin"), A_DEFFLOAT, 0);
    class_addmethod(c, (t_method)korvane_setHop, gensym("setHop"), A_DEFFLOAT, 0);
    class_addmethod(c, (t_method)korvane_seed, gensym("seed"), A_GIMME, 0);
    class_addmethod(c, (t_method)korvane_stop, gensym("stop"), 0);
    class_addmethod(c, (t_method)korvane_progress, gensym("progress"), A_DEFSYM, 0);
    korvane_class = c;

    t_class *p = class_new(gensym("korvane~ inlet"), 0, 0, sizeof(t_kv_proxy), CLASS_PD, 0);
    class_addbang(p, (t_method)kv_proxyBang);
    class_addfloat(p, (t_method)kv_proxyFloat);
    class_addlist(p, (t_method)kv_proxyList);
    class_addanything(p, (t_method)kv_proxyAnything);
    kv_proxy_class = p;
}
