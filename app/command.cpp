#include "command.hpp"

namespace korvane {

void Commands::add(const Command &c) {
    CLI::App *sub = app_.add_subcommand(c.name, c.help);
    runs_[sub] = c.setup(*sub);
}

int Commands::run() const {
    for (const auto &r : runs_)
        if (r.first->parsed()) return r.second();
    return 1;
}

}  // namespace korvane
