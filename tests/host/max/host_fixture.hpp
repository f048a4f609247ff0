// A clean host for every test, with its console lines and outlet messages
// recorded.
#pragma once

#include "ext.h"
#include "ext_obex.h"
#include "maxhost.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct OutletEvent {
    std::string obj;
    long outlet;
    std::string sel;
    std::vector<std::string> atoms;  // formatAtom of each
};

class HostTest : public ::testing::Test {
protected:
    std::vector<maxhost::ConsoleLine> lines;
    std::vector<OutletEvent> events;

    void SetUp() override {
        maxhost::reset();
        maxhost::setConsoleSink([this](const maxhost::ConsoleLine &l) { lines.push_back(l); });
        maxhost::setOutletSink([this](const std::string &obj, long outlet, t_symbol *sel,
                                      short argc, const t_atom *argv) {
            OutletEvent e{obj, outlet, sel->s_name, {}};
            for (short i = 0; i < argc; ++i) e.atoms.push_back(maxhost::formatAtom(argv[i]));
            events.push_back(e);
        });
    }
    void TearDown() override { maxhost::reset(); }

    t_object *make(const std::string &id, const std::string &cls, std::vector<t_atom> args = {}) {
        std::string err;
        t_object *x = maxhost::newObject(id, cls, args, err);
        EXPECT_NE(x, nullptr) << err;
        return x;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const auto &l : lines) t.push_back((l.error ? "E " : "P ") + l.text);
        return t;
    }
};

inline t_atom longAtom(long v) {
    t_atom a;
    atom_setlong(&a, v);
    return a;
}
inline t_atom floatAtom(double v) {
    t_atom a;
    atom_setfloat(&a, v);
    return a;
}
inline t_atom symAtom(const char *s) {
    t_atom a;
    atom_setsym(&a, gensym(s));
    return a;
}

inline void sendMsg(t_object *x, long inlet, const char *sel, std::vector<t_atom> atoms = {}) {
    maxhost::send(x, inlet, gensym(sel), static_cast<short>(atoms.size()), atoms.data());
}
