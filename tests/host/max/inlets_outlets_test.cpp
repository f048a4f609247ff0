// Proxies tell the inlet of the message being handled; outlets line up right
// to left in creation order; cords deliver depth-first in connection order.
#include "host_fixture.hpp"

namespace {

struct Node {
    t_object ob;
    long inletNum;
    void *proxy1, *proxy2;
    void *left, *middle, *right;
};

std::vector<std::string> trail;
t_class *nodeClass;

void *nodeNew(t_symbol *, long, t_atom *) {
    auto *x = static_cast<Node *>(object_alloc(nodeClass));
    if (!x) return nullptr;
    x->proxy2 = proxy_new(x, 2, &x->inletNum);
    x->proxy1 = proxy_new(x, 1, &x->inletNum);
    x->right = bangout(x);
    x->middle = listout(x);
    x->left = intout(x);
    return x;
}

std::string where(Node *x) {
    return maxhost::objectId(&x->ob) + " in" + std::to_string(proxy_getinlet(&x->ob)) + " stuff" +
           std::to_string(x->inletNum);
}

// logs, passes n - 1 on from the left outlet while n > 0, logs again
void nodeInt(Node *x, long n) {
    trail.push_back(where(x) + " got " + std::to_string(n));
    if (n > 0) outlet_int(x->left, n - 1);
    trail.push_back(where(x) + " done " + std::to_string(n));
}

void registerOnce() {
    if (nodeClass) return;
    nodeClass = class_new("t_node", (method)nodeNew, nullptr, sizeof(Node), nullptr, A_GIMME, 0);
    class_addmethod(nodeClass, (method)nodeInt, "int", A_LONG, 0);
    class_register(gensym("box"), nodeClass);
}

class Wiring : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        registerOnce();
        trail.clear();
    }
    void wire(t_object *a, long out, t_object *b, long in) {
        std::string err;
        ASSERT_TRUE(maxhost::connect(a, out, b, in, err)) << err;
    }
};

}  // namespace

TEST_F(Wiring, ProxyGetInletTellsTheInletAndRestoresAfterNesting) {
    t_object *x = make("x", "t_node");
    EXPECT_EQ(maxhost::inletCount(x), 3u);
    wire(x, 0, x, 1);  // its own output comes back on inlet 1
    sendMsg(x, 2, "int", {longAtom(1)});
    sendMsg(x, 0, "int", {longAtom(0)});
    EXPECT_EQ(trail, (std::vector<std::string>{"x in2 stuff2 got 1", "x in1 stuff1 got 0",
                                               "x in1 stuff1 done 0", "x in2 stuff2 done 1",
                                               "x in0 stuff0 got 0", "x in0 stuff0 done 0"}));
}

TEST_F(Wiring, EachNewOutletGoesLeftOfThoseBefore) {
    auto *x = reinterpret_cast<Node *>(make("x", "t_node"));
    ASSERT_EQ(maxhost::outletCount(&x->ob), 3u);
    t_atom a = longAtom(5);
    outlet_bang(x->right);
    outlet_list(x->middle, nullptr, 1, &a);
    outlet_int(x->left, 9);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].outlet, 2);
    EXPECT_EQ(events[0].sel, "bang");
    EXPECT_EQ(events[1].outlet, 1);
    EXPECT_EQ(events[1].sel, "list");
    EXPECT_EQ(events[1].atoms, std::vector<std::string>{"5"});
    EXPECT_EQ(events[2].outlet, 0);
    EXPECT_EQ(events[2].sel, "int");
    EXPECT_EQ(events[2].obj, "x");
}

TEST_F(Wiring, CordsDeliverDepthFirstInConnectionOrder) {
    t_object *a = make("a", "t_node");
    t_object *b = make("b", "t_node");
    t_object *c = make("c", "t_node");
    t_object *d = make("d", "t_node");
    wire(a, 0, c, 0);  // c was connected first, so it hears first
    wire(a, 0, b, 0);
    wire(c, 0, d, 0);
    sendMsg(a, 0, "int", {longAtom(2)});
    EXPECT_EQ(trail, (std::vector<std::string>{"a in0 stuff0 got 2", "c in0 stuff0 got 1",
                                               "d in0 stuff0 got 0", "d in0 stuff0 done 0",
                                               "c in0 stuff0 done 1", "b in0 stuff0 got 1",
                                               "b in0 stuff0 done 1", "a in0 stuff0 done 2"}));
    // every message is reported before it travels on
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].obj, "a");
    EXPECT_EQ(events[1].obj, "c");
    EXPECT_EQ(events[2].obj, "b");
}

TEST_F(Wiring, ConnectRefusesWhatDoesNotExist) {
    t_object *a = make("a", "t_node");
    t_object *b = make("b", "t_node");
    std::string err;
    EXPECT_FALSE(maxhost::connect(a, 3, b, 0, err));
    EXPECT_FALSE(maxhost::connect(a, 0, b, 3, err));
    EXPECT_FALSE(maxhost::connect(a, -1, b, 0, err));
    EXPECT_TRUE(maxhost::connect(a, 0, b, 0, err));
    EXPECT_FALSE(maxhost::connect(a, 0, b, 0, err));  // no doubled cord
    sendMsg(a, 5, "int", {longAtom(1)});
    EXPECT_EQ(texts(), std::vector<std::string>{"E t_node: no inlet 5"});
}

TEST_F(Wiring, FreedObjectsLoseTheirCordsAndProxies) {
    t_object *a = make("a", "t_node");
    t_object *b = make("b", "t_node");
    t_object *c = make("c", "t_node");
    wire(a, 0, b, 0);
    wire(a, 0, c, 0);
    maxhost::freeObject(b);
    EXPECT_EQ(maxhost::findObject("b"), nullptr);
    sendMsg(a, 0, "int", {longAtom(1)});
    EXPECT_EQ(trail, (std::vector<std::string>{"a in0 stuff0 got 1", "c in0 stuff0 got 0",
                                               "c in0 stuff0 done 0", "a in0 stuff0 done 1"}));
    // an object may free a proxy itself; the inlet goes with it
    auto *n = reinterpret_cast<Node *>(c);
    EXPECT_EQ(object_free(n->proxy2), MAX_ERR_NONE);
    EXPECT_EQ(maxhost::inletCount(c), 2u);
}
