// Writes the seed corpus of every fuzz target under the folder given.
#include "seed_sounds.hpp"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kv_fuzz_seeds DIR\n");
        return 2;
    }
    kvfuzz::writeSeeds(argv[1]);
    return 0;
}
