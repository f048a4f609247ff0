// Words of a patch line and the atoms they make, as Max reads them.
#include "run/atoms.hpp"

#include <gtest/gtest.h>

using korvane::parseAtom;
using korvane::splitWords;

TEST(Words, BlanksSeparateAndHashStartsAComment) {
    EXPECT_EQ(splitWords("  send\tk 0  bang \r"),
              (std::vector<std::string>{"send", "k", "0", "bang"}));
    EXPECT_EQ(splitWords("send k 0 bang # the rest is ignored 1 2"),
              (std::vector<std::string>{"send", "k", "0", "bang"}));
    EXPECT_TRUE(splitWords("# a whole-line comment").empty());
    EXPECT_TRUE(splitWords("   ").empty());
    EXPECT_EQ(splitWords("a#b"), std::vector<std::string>{"a#b"});  // inside a word it stays
}

TEST(Atoms, IntsFloatsAndSymbolsAsInMax) {
    struct Case {
        const char *word;
        short type;
        double value;
    };
    const Case cases[] = {
        {"3", A_LONG, 3},
        {"-3", A_LONG, -3},
        {"0", A_LONG, 0},
        {"3.", A_FLOAT, 3},
        {"3.5", A_FLOAT, 3.5},
        {"-0.25", A_FLOAT, -0.25},
        {"1e-05", A_FLOAT, 1e-05},
        {".5", A_FLOAT, 0.5},
        {"2E3", A_FLOAT, 2000},
        {"-1.5e+2", A_FLOAT, -150},
        // beyond a long: still a number
        {"123456789012345678901", A_FLOAT, 123456789012345678901.0},
    };
    for (const Case &c : cases) {
        t_atom a = parseAtom(c.word);
        EXPECT_EQ(a.a_type, c.type) << c.word;
        EXPECT_EQ(atom_getfloat(&a), c.value) << c.word;
    }
    for (const char *word :
         {"bang", "-", "3a", "1e", "--3", "+3", "nan", "inf", "1.2.3", ".", "e5", "drums_out"}) {
        t_atom a = parseAtom(word);
        EXPECT_EQ(a.a_type, A_SYM) << word;
        EXPECT_STREQ(a.a_w.w_sym->s_name, word);
    }
}

TEST(Atoms, FullPrecisionFloatsReadExactly) {
    t_atom a = parseAtom("0.30000000000000004");
    EXPECT_EQ(a.a_w.w_float, 0.1 + 0.2);
    a = parseAtom("4.9406564584124654e-324");
    EXPECT_EQ(a.a_w.w_float, 4.9406564584124654e-324);
}
