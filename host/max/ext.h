/* Stand-in for the host SDK's core header: symbols, atoms, objects, classes,
 * outlets, console and defer. C linkage; the implementation lives in the host. */
#ifndef KV_HOST_EXT_H
#define KV_HOST_EXT_H

#include <stddef.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef long t_atom_long;
typedef double t_atom_float;
typedef long t_max_err;
typedef void *(*method)(void *);

enum { MAX_ERR_NONE = 0, MAX_ERR_GENERIC = -1, MAX_ERR_INVALID_PTR = -2 };

typedef struct _symbol {
    const char *s_name; /* interned text */
    void *s_thing;      /* unused */
} t_symbol;

/* argument kinds of class_new / class_addmethod */
typedef enum {
    A_NOTHING = 0,
    A_LONG = 1,
    A_FLOAT = 2,
    A_SYM = 3,
    A_OBJ = 4,
    A_DEFLONG = 5,
    A_DEFFLOAT = 6,
    A_DEFSYM = 7,
    A_GIMME = 8,
    A_CANT = 9
} e_max_atomtypes;

typedef union word {
    t_atom_long w_long;
    t_atom_float w_float;
    t_symbol *w_sym;
    void *w_obj;
} word;

typedef struct atom {
    short a_type; /* A_LONG, A_FLOAT or A_SYM */
    union word a_w;
} t_atom;

struct maxclass;
typedef struct maxclass t_class;

/* Every object record starts with this header. */
typedef struct object {
    t_class *o_class; /* the class it was allocated from */
    void *o_host;     /* host bookkeeping: inlets, outlets, name */
} t_object;

typedef void t_outlet;

/* symbols and atoms */
t_symbol *gensym(const char *s);
t_max_err atom_setlong(t_atom *a, t_atom_long b);
t_max_err atom_setfloat(t_atom *a, double b);
t_max_err atom_setsym(t_atom *a, t_symbol *b);
t_atom_long atom_getlong(const t_atom *a);
t_atom_float atom_getfloat(const t_atom *a);
t_symbol *atom_getsym(const t_atom *a);

/* classes: the kinds list of class_new and class_addmethod ends with 0;
 * the first kind is an int, as va_start needs a promoted type before ... */
t_class *class_new(const char *name, method mnew, method mfree, long size, method mmenu, int type, ...);
t_max_err class_addmethod(t_class *c, method m, const char *name, ...);
t_max_err class_register(t_symbol *name_space, t_class *c);

/* instances */
void *object_alloc(t_class *c);
t_max_err object_free(void *x);
void *object_method_imp(void *x, void *sym, void *p1, void *p2, void *p3, void *p4, void *p5, void *p6, void *p7,
                        void *p8);

/* inlets and outlets; each new outlet goes left of those made before */
void *proxy_new(void *x, long id, long *stuffloc);
long proxy_getinlet(t_object *master);
void *outlet_new(void *x, const char *type);
void *bangout(void *x);
void *listout(void *x);
void *floatout(void *x);
void *intout(void *x);
void *outlet_bang(void *o);
void *outlet_float(void *o, double f);
void *outlet_int(void *o, t_atom_long n);
void *outlet_list(void *o, t_symbol *s, short ac, t_atom *av);
void *outlet_anything(void *o, t_symbol *s, short ac, t_atom *av);

/* console: printf-style, one line per call */
void object_post(t_object *x, const char *s, ...) __attribute__((format(printf, 2, 3)));
void object_error(t_object *x, const char *s, ...) __attribute__((format(printf, 2, 3)));
void post(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* runs fn(ob, s, ac, av) on the main thread: at once there, queued elsewhere */
void *defer(void *ob, method fn, t_symbol *s, short ac, t_atom *av);
void *defer_low(void *ob, method fn, t_symbol *s, short ac, t_atom *av);

#ifdef __cplusplus
}
#endif

#endif
