// The command line's steps say why they failed on standard error
// ("korvane decompose: ..."); while one runs, standard error is caught so
// that the module raises the same words.
#pragma once

#include <string>

namespace kvpy {

class CaughtMessages {
public:
    CaughtMessages();   // from here on, fd 2 goes to a private file
    ~CaughtMessages();  // and back
    CaughtMessages(const CaughtMessages &) = delete;
    CaughtMessages &operator=(const CaughtMessages &) = delete;
    // What was written since, each "korvane CMD: " prefix dropped, lines
    // joined by a space; standard error is restored first.
    std::string text();

private:
    void restore();
    int saved_ = -1;
    int file_ = -1;
};

}  // namespace kvpy
