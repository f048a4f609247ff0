// Messages reach handlers by selector, with the declared argument kinds and
// the int/float conversions; anything else is refused on the console.
#include "host_fixture.hpp"

#include <cstdio>

namespace {

std::vector<std::string> calls;

struct Rec {
    t_object ob;
    long arg;
};

t_class *kindsClass, *intOnlyClass, *floatOnlyClass, *bothClass, *anyClass, *defLongNewClass;

void *newKinds(t_symbol *, long, t_atom *) {
    return object_alloc(kindsClass);
}
void *newIntOnly() {
    return object_alloc(intOnlyClass);
}
void *newFloatOnly() {
    return object_alloc(floatOnlyClass);
}
void *newBoth() {
    return object_alloc(bothClass);
}
void *newAny() {
    return object_alloc(anyClass);
}
void *newDefLong(long v) {
    auto *x = static_cast<Rec *>(object_alloc(defLongNewClass));
    if (x) x->arg = v;
    return x;
}

void onInt(Rec *, long v) {
    calls.push_back("int " + std::to_string(v));
}
void onFloat(Rec *, double v) {
    calls.push_back("float " + maxhost::formatFloat(v));
}
void onSym(Rec *, t_symbol *s) {
    calls.push_back(std::string("sym [") + s->s_name + "]");
}
void onDefSym(Rec *, t_symbol *s) {
    calls.push_back(std::string("dsym [") + s->s_name + "]");
}
void onDefLong(Rec *, long v) {
    calls.push_back("dlong " + std::to_string(v));
}
void onDefFloat(Rec *, double v) {
    calls.push_back("dfloat " + maxhost::formatFloat(v));
}
void onNone(Rec *) {
    calls.push_back("none");
}
void onGimme(Rec *, t_symbol *s, long argc, t_atom *argv) {
    std::string c = std::string("gimme ") + s->s_name + " " + std::to_string(argc);
    for (long i = 0; i < argc; ++i) c += " " + maxhost::formatAtom(argv[i]);
    calls.push_back(c);
}
void *onCant(Rec *, void *a, void *b) {
    calls.push_back("cant " + std::to_string(reinterpret_cast<intptr_t>(a)) + " " +
                    std::to_string(reinterpret_cast<intptr_t>(b)));
    return a;
}
void onRefused(Rec *) {
    calls.push_back("refused handler ran");
}

t_class *makeClass(const char *name, method mnew, short kind) {
    t_class *c = class_new(name, mnew, nullptr, sizeof(Rec), nullptr, kind, 0);
    class_register(gensym("box"), c);
    return c;
}

void registerOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    kindsClass = makeClass("t_kinds", (method)newKinds, A_GIMME);
    class_addmethod(kindsClass, (method)onSym, "sym", A_SYM, 0);
    class_addmethod(kindsClass, (method)onDefSym, "dsym", A_DEFSYM, 0);
    class_addmethod(kindsClass, (method)onDefLong, "dlong", A_DEFLONG, 0);
    class_addmethod(kindsClass, (method)onDefFloat, "dfloat", A_DEFFLOAT, 0);
    class_addmethod(kindsClass, (method)onNone, "bang", 0);
    class_addmethod(kindsClass, (method)onGimme, "list", A_GIMME, 0);
    class_addmethod(kindsClass, (method)onCant, "secret", A_CANT, 0);
    intOnlyClass = makeClass("t_int", (method)newIntOnly, 0);
    class_addmethod(intOnlyClass, (method)onInt, "int", A_LONG, 0);
    floatOnlyClass = makeClass("t_float", (method)newFloatOnly, 0);
    class_addmethod(floatOnlyClass, (method)onFloat, "float", A_FLOAT, 0);
    bothClass = makeClass("t_both", (method)newBoth, 0);
    class_addmethod(bothClass, (method)onInt, "int", A_LONG, 0);
    class_addmethod(bothClass, (method)onFloat, "float", A_FLOAT, 0);
    anyClass = makeClass("t_any", (method)newAny, 0);
    class_addmethod(anyClass, (method)onGimme, "anything", A_GIMME, 0);
    defLongNewClass = makeClass("t_deflong", (method)newDefLong, A_DEFLONG);
}

class Dispatch : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        registerOnce();
        calls.clear();
    }
};

}  // namespace

TEST_F(Dispatch, DeclaredKindsGetTheirArguments) {
    t_object *x = make("k", "t_kinds");
    sendMsg(x, 0, "sym", {symAtom("drums")});
    sendMsg(x, 0, "dsym", {symAtom("drums")});
    sendMsg(x, 0, "dsym");  // missing: the empty symbol
    sendMsg(x, 0, "dlong", {longAtom(-7)});
    sendMsg(x, 0, "dlong");                    // missing: 0
    sendMsg(x, 0, "dlong", {floatAtom(2.9)});  // truncated as Max does
    sendMsg(x, 0, "dfloat", {longAtom(3)});
    sendMsg(x, 0, "dfloat");
    sendMsg(x, 0, "bang");
    sendMsg(x, 0, "list", {longAtom(1), floatAtom(0.5), symAtom("foo")});
    sendMsg(x, 0, "list");
    EXPECT_EQ(calls, (std::vector<std::string>{"sym [drums]", "dsym [drums]", "dsym []", "dlong -7",
                                               "dlong 0", "dlong 2", "dfloat 3.0", "dfloat 0.0",
                                               "none", "gimme list 3 1 0.5 foo", "gimme list 0"}));
    EXPECT_TRUE(lines.empty());
}

TEST_F(Dispatch, IntAndFloatConvertWhenOnlyOneExists) {
    t_object *i = make("i", "t_int");
    t_object *f = make("f", "t_float");
    t_object *b = make("b", "t_both");
    sendMsg(i, 0, "float", {floatAtom(2.7)});
    sendMsg(i, 0, "float", {floatAtom(-2.7)});
    sendMsg(f, 0, "int", {longAtom(3)});
    sendMsg(b, 0, "int", {longAtom(4)});
    sendMsg(b, 0, "float", {floatAtom(4.5)});
    EXPECT_EQ(calls,
              (std::vector<std::string>{"int 2", "int -2", "float 3.0", "int 4", "float 4.5"}));
}

TEST_F(Dispatch, UnknownSelectorPostsOneErrorAndNothingElse) {
    t_object *x = make("k", "t_kinds");
    sendMsg(x, 0, "foo", {longAtom(1)});
    sendMsg(x, 0, "int", {longAtom(1)});  // neither int nor float here
    sendMsg(x, 0, "secret");              // A_CANT: not for messages
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(texts(), (std::vector<std::string>{"E t_kinds: doesn't understand \"foo\"",
                                                 "E t_kinds: doesn't understand \"int\"",
                                                 "E t_kinds: doesn't understand \"secret\""}));
}

TEST_F(Dispatch, WrongArgumentTypeIsRefused) {
    t_object *x = make("k", "t_kinds");
    sendMsg(x, 0, "sym", {longAtom(3)});
    sendMsg(x, 0, "dlong", {symAtom("three")});
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"E t_kinds: bad arguments for message \"sym\"",
                                        "E t_kinds: bad arguments for message \"dlong\""}));
}

TEST_F(Dispatch, AnythingCatchesUnknownSelectors) {
    t_object *x = make("a", "t_any");
    sendMsg(x, 0, "whatever", {longAtom(5)});
    sendMsg(x, 0, "int", {longAtom(6)});
    EXPECT_EQ(calls, (std::vector<std::string>{"gimme whatever 1 5", "gimme int 1 6"}));
}

TEST_F(Dispatch, ObjectMethodImpReachesCantMethods) {
    t_object *x = make("k", "t_kinds");
    void *r = object_method_imp(x, gensym("secret"), reinterpret_cast<void *>(11),
                                reinterpret_cast<void *>(22), nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr);
    EXPECT_EQ(r, reinterpret_cast<void *>(11));
    EXPECT_EQ(calls, (std::vector<std::string>{"cant 11 22"}));
    EXPECT_EQ(object_method_imp(x, gensym("nope"), nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(texts(), (std::vector<std::string>{"E t_kinds: doesn't understand \"nope\""}));
}

TEST_F(Dispatch, UnsupportedKindCombinationsAreRefusedAtRegistration) {
    t_class *c = class_new("t_refuse", (method)newAny, nullptr, sizeof(Rec), nullptr, 0);
    EXPECT_EQ(class_addmethod(c, (method)onRefused, "two", A_LONG, A_LONG, 0), MAX_ERR_GENERIC);
    EXPECT_EQ(class_addmethod(c, (method)onRefused, "obj", A_OBJ, 0), MAX_ERR_GENERIC);
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "E class_addmethod: t_refuse: unsupported argument kinds for \"two\"",
                           "E class_addmethod: t_refuse: unsupported argument kinds for \"obj\""}));
}

TEST_F(Dispatch, CreationArgumentsFollowTheClassKind) {
    auto *a = reinterpret_cast<Rec *>(make("a", "t_deflong"));
    auto *b = reinterpret_cast<Rec *>(make("b", "t_deflong", {longAtom(7)}));
    EXPECT_EQ(a->arg, 0);
    EXPECT_EQ(b->arg, 7);
    std::string err;
    EXPECT_EQ(maxhost::newObject("c", "t_deflong", {symAtom("x")}, err), nullptr);
    EXPECT_FALSE(err.empty());
}
