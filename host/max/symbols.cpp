// Interned symbols, atoms and their text forms.
#include "host_internal.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace {

struct SymbolTable {
    std::mutex mutex;
    // node-based: a t_symbol and its key never move once made
    std::unordered_map<std::string, t_symbol> table;
};

SymbolTable &symbols() {
    static SymbolTable *t = new SymbolTable;  // lives as long as the process
    return *t;
}

}  // namespace

extern "C" t_symbol *gensym(const char *s) {
    if (!s) s = "";
    SymbolTable &t = symbols();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.table.find(s);
    if (it == t.table.end()) {
        it = t.table.emplace(s, t_symbol{nullptr, nullptr}).first;
        it->second.s_name = it->first.c_str();
    }
    return &it->second;
}

extern "C" t_max_err atom_setlong(t_atom *a, t_atom_long b) {
    if (!a) return MAX_ERR_INVALID_PTR;
    a->a_type = A_LONG;
    a->a_w.w_long = b;
    return MAX_ERR_NONE;
}

extern "C" t_max_err atom_setfloat(t_atom *a, double b) {
    if (!a) return MAX_ERR_INVALID_PTR;
    a->a_type = A_FLOAT;
    a->a_w.w_float = b;
    return MAX_ERR_NONE;
}

extern "C" t_max_err atom_setsym(t_atom *a, t_symbol *b) {
    if (!a) return MAX_ERR_INVALID_PTR;
    a->a_type = A_SYM;
    a->a_w.w_sym = b ? b : gensym("");
    return MAX_ERR_NONE;
}

extern "C" t_atom_long atom_getlong(const t_atom *a) {
    if (!a) return 0;
    if (a->a_type == A_LONG) return a->a_w.w_long;
    if (a->a_type == A_FLOAT) {
        double f = a->a_w.w_float;
        // truncation toward zero, saturated where it would not fit
        if (std::isnan(f)) return 0;
        if (f >= 9.2233720368547758e18) return LONG_MAX;
        if (f <= -9.2233720368547758e18) return LONG_MIN;
        return static_cast<t_atom_long>(f);
    }
    return 0;
}

extern "C" t_atom_float atom_getfloat(const t_atom *a) {
    if (!a) return 0.0;
    if (a->a_type == A_FLOAT) return a->a_w.w_float;
    if (a->a_type == A_LONG) return static_cast<double>(a->a_w.w_long);
    return 0.0;
}

extern "C" t_symbol *atom_getsym(const t_atom *a) {
    if (a && a->a_type == A_SYM && a->a_w.w_sym) return a->a_w.w_sym;
    return gensym("");
}

namespace maxhost {

std::string formatFloat(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // the fewest significant digits that read back to v
    char buf[48];
    int digits = 0;
    for (; digits < 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*e", digits, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    int exponent = std::atoi(std::strchr(buf, 'e') + 1);
    // plain notation for 1e-4 <= |v| < 1e16, as most languages print floats
    if (exponent < -4 || exponent >= 16) return buf;
    int decimals = digits - exponent;
    std::snprintf(buf, sizeof buf, "%.*f", decimals > 0 ? decimals : 0, v);
    std::string s = buf;
    if (decimals <= 0) s += ".0";
    return s;
}

std::string formatAtom(const t_atom &a) {
    switch (a.a_type) {
    case A_LONG:
        return std::to_string(a.a_w.w_long);
    case A_FLOAT:
        return formatFloat(a.a_w.w_float);
    case A_SYM:
        return a.a_w.w_sym ? a.a_w.w_sym->s_name : "";
    default:
        return "?";
    }
}

}  // namespace maxhost
