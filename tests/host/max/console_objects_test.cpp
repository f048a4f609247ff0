// Console lines, object life, the host's "print", symbols, atoms, number text.
#include "host_fixture.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

struct Rec {
    t_object ob;
};

t_class *lifeClass;
int freed;

void *lifeNew() {
    return object_alloc(lifeClass);
}
void lifeFree(Rec *) {
    ++freed;
}

void registerOnce() {
    if (lifeClass) return;
    lifeClass = class_new("t_life", (method)lifeNew, (method)lifeFree, sizeof(Rec), nullptr, 0);
    class_register(gensym("box"), lifeClass);
}

class Objects : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        registerOnce();
        freed = 0;
    }
};

}  // namespace

TEST_F(Objects, ConsoleLinesKeepOrderKindAndFormatting) {
    object_post(nullptr, "number of components set to %u", 0u);
    object_error(nullptr, "Error: %s has %d channels", "drums", 3);
    post("%.2f", 0.5);
    std::string longText(10000, 'x');
    object_post(nullptr, "%s", longText.c_str());
    EXPECT_EQ(texts(), (std::vector<std::string>{"P number of components set to 0",
                                                 "E Error: drums has 3 channels", "P 0.50",
                                                 "P " + longText}));
}

TEST_F(Objects, DefaultConsolePostsToStdoutAndErrorsToStderr) {
    maxhost::setConsoleSink(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    object_post(nullptr, "hello %d", 1);
    object_error(nullptr, "bad %d", 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bad 2\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "hello 1\n");
}

TEST_F(Objects, FreeRoutineRunsOnceOnDeletionAndAtReset) {
    t_object *a = make("a", "t_life");
    make("b", "t_life");
    maxhost::freeObject(a);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(maxhost::findObject("a"), nullptr);
    EXPECT_EQ(object_free(a), MAX_ERR_INVALID_PTR) << "a second free is refused";
    maxhost::reset();
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(maxhost::findObject("b"), nullptr);
}

TEST_F(Objects, AllocationCanBeMadeToFail) {
    maxhost::failNextAllocs(2);
    EXPECT_EQ(object_alloc(lifeClass), nullptr);
    std::string err;
    EXPECT_EQ(maxhost::newObject("a", "t_life", {}, err), nullptr);
    EXPECT_EQ(err, "could not make an object of class t_life");
    EXPECT_NE(maxhost::newObject("a", "t_life", {}, err), nullptr);
}

TEST_F(Objects, NewObjectRefusesDuplicatesAndUnknownClasses) {
    maxhost::setPluginPath({});
    make("a", "t_life");
    std::string err;
    EXPECT_EQ(maxhost::newObject("a", "t_life", {}, err), nullptr);
    EXPECT_EQ(err, "an object named a already exists");
    EXPECT_EQ(maxhost::newObject("z", "no_such_class", {}, err), nullptr);
    EXPECT_EQ(err, "no class or plug-in named no_such_class");
}

TEST_F(Objects, PrintPostsEveryMessage) {
    t_object *p = make("p", "print");
    sendMsg(p, 0, "list", {longAtom(1), floatAtom(0.5), symAtom("foo")});
    sendMsg(p, 0, "bang");
    sendMsg(p, 0, "float", {floatAtom(2.0)});
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"P p: list 1 0.5 foo", "P p: bang", "P p: float 2.0"}));
}

TEST(Symbols, AreInternedAndAtomsConvert) {
    EXPECT_EQ(gensym("drums"), gensym(std::string("dru").append("ms").c_str()));
    EXPECT_NE(gensym("drums"), gensym("drums_out"));
    EXPECT_STREQ(gensym(nullptr)->s_name, "");
    t_atom l = longAtom(-3), f = floatAtom(-2.75), s = symAtom("x");
    EXPECT_EQ(atom_getfloat(&l), -3.0);
    EXPECT_EQ(atom_getlong(&f), -2);  // truncated toward zero
    EXPECT_EQ(atom_getfloat(&s), 0.0);
    EXPECT_EQ(atom_getlong(&s), 0);
    EXPECT_STREQ(atom_getsym(&l)->s_name, "");
    EXPECT_EQ(atom_getsym(&s), gensym("x"));
}

TEST(FormatFloat, ShortestRoundTripWithAPointOrExponent) {
    EXPECT_EQ(maxhost::formatFloat(1.0), "1.0");
    EXPECT_EQ(maxhost::formatFloat(-0.25), "-0.25");
    EXPECT_EQ(maxhost::formatFloat(1e-05), "1e-05");
    EXPECT_EQ(maxhost::formatFloat(static_cast<double>(0.1f * 3.0f)), "0.30000001192092896");
    EXPECT_EQ(maxhost::formatFloat(0.1 * 3.0), "0.30000000000000004");
    EXPECT_EQ(maxhost::formatFloat(48000.0), "48000.0");
    EXPECT_EQ(maxhost::formatFloat(1e16), "1e+16");
    EXPECT_EQ(maxhost::formatFloat(0.0001), "0.0001");
    EXPECT_EQ(maxhost::formatFloat(-1.5e-7), "-1.5e-07");
    EXPECT_EQ(maxhost::formatFloat(std::nan("")), "nan");
    const double values[] = {0.0,
                             -0.0,
                             1e300,
                             5e-324,
                             123456789012345678.0,
                             2.0 / 3.0,
                             std::numeric_limits<double>::max(),
                             44100.0};
    for (double v : values) {
        std::string s = maxhost::formatFloat(v);
        EXPECT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
        EXPECT_NE(s.find_first_of(".e"), std::string::npos) << s;
    }
}
