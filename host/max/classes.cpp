// Classes: creation, method tables and the "box" name space.
#include "host_internal.hpp"

#include <cstdarg>

using namespace maxhost::detail;

namespace {

bool supportedKind(int k) {
    switch (k) {
    case A_NOTHING:
    case A_LONG:
    case A_DEFLONG:
    case A_FLOAT:
    case A_DEFFLOAT:
    case A_SYM:
    case A_DEFSYM:
    case A_GIMME:
        return true;
    default:
        return false;
    }
}

}  // namespace

namespace maxhost::detail {

t_class *makeClass(const std::string &name, method mnew, method mfree, long size) {
    auto c = std::make_unique<maxclass>();
    c->name = name;
    c->mnew = mnew;
    c->mfree = mfree;
    c->size = size < static_cast<long>(sizeof(t_object)) ? static_cast<long>(sizeof(t_object)) : size;
    c->plugin = loadingPlugin();
    t_class *raw = c.get();
    state().registry.classes.push_back(std::move(c));
    return raw;
}

}  // namespace maxhost::detail

extern "C" t_class *class_new(const char *name, method mnew, method mfree, long size, method, int type, ...) {
    std::vector<int> kinds;
    if (type != 0) {
        kinds.push_back(type);
        va_list ap;
        va_start(ap, type);
        for (int k = va_arg(ap, int); k != 0; k = va_arg(ap, int)) kinds.push_back(k);
        va_end(ap);
    }
    t_class *c = makeClass(name ? name : "", mnew, mfree, size);
    if (kinds.size() > 1 || (kinds.size() == 1 && !supportedKind(kinds[0]))) {
        object_error(nullptr, "class_new: %s: unsupported creation argument kinds", c->name.c_str());
        c->usable = false;
    } else if (kinds.size() == 1) {
        c->newKind = kinds[0];
    }
    return c;
}

extern "C" t_max_err class_addmethod(t_class *c, method m, const char *name, ...) {
    if (!c || !m || !name) return MAX_ERR_INVALID_PTR;
    std::vector<int> kinds;
    va_list ap;
    va_start(ap, name);
    for (int k = va_arg(ap, int); k != 0; k = va_arg(ap, int)) kinds.push_back(k);
    va_end(ap);
    int kind = kinds.empty() ? A_NOTHING : kinds[0];
    if (kinds.size() > 1 || (kind != A_CANT && !supportedKind(kind))) {
        object_error(nullptr, "class_addmethod: %s: unsupported argument kinds for \"%s\"", c->name.c_str(), name);
        return MAX_ERR_GENERIC;
    }
    c->methods[gensym(name)] = MethodEntry{m, kind};
    return MAX_ERR_NONE;
}

extern "C" t_max_err class_register(t_symbol *name_space, t_class *c) {
    if (!c || !name_space) return MAX_ERR_INVALID_PTR;
    if (std::string(name_space->s_name) != "box") return MAX_ERR_GENERIC;
    state().registry.box[c->name] = c;
    return MAX_ERR_NONE;
}
