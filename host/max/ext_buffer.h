/* Stand-in for the host SDK's buffer~ access header. */
#ifndef KV_HOST_EXT_BUFFER_H
#define KV_HOST_EXT_BUFFER_H

#include "ext.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _buffer_ref t_buffer_ref;
typedef struct _buffer_obj t_buffer_obj;

/* a reference binds a name; the buffer itself is looked up on every getobject */
t_buffer_ref *buffer_ref_new(t_object *self, t_symbol *name);
void buffer_ref_set(t_buffer_ref *x, t_symbol *name);
t_buffer_obj *buffer_ref_getobject(t_buffer_ref *x); /* NULL: no such buffer */

t_atom_long buffer_getchannelcount(t_buffer_obj *b);
t_atom_long buffer_getframecount(t_buffer_obj *b);
t_atom_float buffer_getsamplerate(t_buffer_obj *b);

/* interleaved 32-bit floats, channel ch of frame f at f * channels + ch;
 * NULL when the buffer is missing or already locked */
float *buffer_locksamples(t_buffer_obj *b);
void buffer_unlocksamples(t_buffer_obj *b);
t_max_err buffer_setdirty(t_buffer_obj *b);

/* resizes to channels x frames (zeroed); fails while the buffer is locked */
t_max_err buffer_resize(t_buffer_obj *b, t_atom_long channels, t_atom_long frames);

#ifdef __cplusplus
}
#endif

#endif
