// defer runs at once on the main thread and queues from the scheduler
// thread; a queued call dies with its object.
#include "host_fixture.hpp"

#include <thread>

namespace {

struct Rec {
    t_object ob;
};

std::vector<std::string> ran;
t_class *deferClass;

void deferred(Rec *x, t_symbol *s, short argc, t_atom *argv) {
    std::string r = maxhost::objectId(&x->ob) + " " + s->s_name + " " + std::to_string(argc);
    for (short i = 0; i < argc; ++i) r += " " + maxhost::formatAtom(argv[i]);
    ran.push_back(r);
}

std::thread::id mainId;
bool ranOnMain = true;

void checkThread(Rec *, t_symbol *, short, t_atom *) {
    if (std::this_thread::get_id() != mainId) ranOnMain = false;
    ran.push_back("checked");
}

// a "go" message defers work; it notes whether defer returned after the work
void go(Rec *x, t_symbol *s, long argc, t_atom *argv) {
    defer(x, (method)deferred, s, static_cast<short>(argc), argv);
    ran.push_back("defer returned");
}

void *deferNew() {
    return object_alloc(deferClass);
}

void registerOnce() {
    if (deferClass) return;
    deferClass = class_new("t_defer", (method)deferNew, nullptr, sizeof(Rec), nullptr, 0);
    class_addmethod(deferClass, (method)go, "go", A_GIMME, 0);
    class_register(gensym("box"), deferClass);
}

class Defer : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        registerOnce();
        ran.clear();
        mainId = std::this_thread::get_id();
    }
};

}  // namespace

TEST_F(Defer, OnTheMainThreadItRunsBeforeReturning) {
    t_object *x = make("x", "t_defer");
    sendMsg(x, 0, "go", {longAtom(4)});
    EXPECT_EQ(ran, (std::vector<std::string>{"x go 1 4", "defer returned"}));
    EXPECT_EQ(maxhost::pendingDeferred(), 0u);
}

TEST_F(Defer, FromTheSchedulerItQueuesForTheMainThread) {
    t_object *x = make("x", "t_defer");
    t_atom a = symAtom("drums");
    maxhost::sendFromScheduler(x, 0, gensym("go"), 1, &a);
    EXPECT_EQ(ran, (std::vector<std::string>{"defer returned", "x go 1 drums"}));
    EXPECT_EQ(maxhost::pendingDeferred(), 0u);
}

TEST_F(Defer, QueuedCallsRunOnTheMainThreadInOrder) {
    t_object *x = make("x", "t_defer");
    std::thread other([x] {
        defer(x, (method)checkThread, gensym("a"), 0, nullptr);
        defer(x, (method)deferred, gensym("b"), 0, nullptr);
    });
    other.join();
    EXPECT_EQ(maxhost::pendingDeferred(), 2u);
    EXPECT_TRUE(ran.empty());
    maxhost::runDeferred();
    EXPECT_EQ(ran, (std::vector<std::string>{"checked", "x b 0"}));
    EXPECT_TRUE(ranOnMain);
}

TEST_F(Defer, AQueuedCallForAFreedObjectIsDropped) {
    t_object *x = make("x", "t_defer");
    t_object *y = make("y", "t_defer");
    std::thread other([x, y] {
        defer(x, (method)deferred, gensym("gone"), 0, nullptr);
        defer(y, (method)deferred, gensym("kept"), 0, nullptr);
    });
    other.join();
    maxhost::freeObject(x);
    maxhost::runDeferred();
    EXPECT_EQ(ran, std::vector<std::string>{"y kept 0"});
}

TEST_F(Defer, DeferLowAlwaysQueues) {
    t_object *x = make("x", "t_defer");
    defer_low(x, (method)deferred, gensym("later"), 0, nullptr);
    EXPECT_TRUE(ran.empty());
    maxhost::runDeferred();
    EXPECT_EQ(ran, std::vector<std::string>{"x later 0"});
}
