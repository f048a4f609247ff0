/* Stand-in for the host SDK's object-extension header. */
#ifndef KV_HOST_EXT_OBEX_H
#define KV_HOST_EXT_OBEX_H
#include "ext.h"

#define CLASS_BOX "box"
#endif
