// kv_lsProd as the host sees it: its entry point, its record's failure path.
#include "ext.h"
#include "maxhost.hpp"

#include <gtest/gtest.h>

class LsProdHost : public ::testing::Test {
protected:
    std::vector<std::string> lines;
    void SetUp() override {
        maxhost::reset();
        maxhost::setPluginPath({KV_PLUGIN_DIR});
        maxhost::setConsoleSink([this](const maxhost::ConsoleLine &l) {
            lines.push_back((l.error ? "E " : "P ") + l.text);
        });
    }
    void TearDown() override { maxhost::reset(); }
};

TEST_F(LsProdHost, LoadsFromThePluginFolderWithTwoInletsAndOneOutlet) {
    std::string err;
    t_object *x = maxhost::newObject("lp", "kv_lsProd", {}, err);
    ASSERT_NE(x, nullptr) << err;
    EXPECT_EQ(maxhost::inletCount(x), 2u);
    EXPECT_EQ(maxhost::outletCount(x), 1u);
    EXPECT_NE(maxhost::pluginSymbol("kv_lsProd", "ext_main"), nullptr);
    EXPECT_EQ(maxhost::pluginSymbol("kv_lsProd", "no_such_function"), nullptr);
}

TEST_F(LsProdHost, FailedAllocationMakesNoObject) {
    std::string err;
    ASSERT_TRUE(maxhost::loadClass("kv_lsProd", err)) << err;
    lines.clear();
    maxhost::failNextAllocs(1);
    EXPECT_EQ(maxhost::newObject("lp", "kv_lsProd", {}, err), nullptr);
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(lines.empty());
    EXPECT_NE(maxhost::newObject("lp", "kv_lsProd", {}, err), nullptr);
}
