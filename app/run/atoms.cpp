#include "run/atoms.hpp"

#include <cerrno>
#include <cstdlib>

namespace korvane {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// 0: not a number, 1: int, 2: float
int numberKind(const std::string &w) {
    size_t i = 0, n = w.size();
    if (i < n && w[i] == '-') ++i;
    size_t intDigits = 0, fracDigits = 0;
    while (i < n && isDigit(w[i])) ++i, ++intDigits;
    bool point = false, exponent = false;
    if (i < n && w[i] == '.') {
        point = true;
        ++i;
        while (i < n && isDigit(w[i])) ++i, ++fracDigits;
    }
    if (intDigits + fracDigits == 0) return 0;
    if (i < n && (w[i] == 'e' || w[i] == 'E')) {
        exponent = true;
        ++i;
        if (i < n && (w[i] == '+' || w[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < n && isDigit(w[i])) ++i, ++expDigits;
        if (expDigits == 0) return 0;
    }
    if (i != n) return 0;
    return point || exponent ? 2 : 1;
}

}  // namespace

std::vector<std::string> splitWords(const std::string &line) {
    std::vector<std::string> words;
    size_t i = 0, n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= n || line[i] == '#') return words;
        size_t start = i;
        while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        words.emplace_back(line, start, i - start);
    }
}

t_atom parseAtom(const std::string &word) {
    t_atom a;
    int kind = numberKind(word);
    if (kind == 1) {
        errno = 0;
        long v = std::strtol(word.c_str(), nullptr, 10);
        if (errno != ERANGE) {
            atom_setlong(&a, v);
            return a;
        }
        kind = 2;
    }
    if (kind == 2)
        atom_setfloat(&a, std::strtod(word.c_str(), nullptr));
    else
        atom_setsym(&a, gensym(word.c_str()));
    return a;
}

bool isNumberWord(const std::string &word) {
    return numberKind(word) != 0;
}

}  // namespace korvane
