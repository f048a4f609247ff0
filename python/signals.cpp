#include "signals.hpp"

#include "files/stop_signals.hpp"

#include <csignal>

namespace kvpy {

void keepPythonSignalHandlers() {
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction saved[3];
    for (int i = 0; i < 3; ++i) sigaction(signals[i], nullptr, &saved[i]);
    korvane::installStopHandler();  // once per process: later stagings install nothing
    for (int i = 0; i < 3; ++i) sigaction(signals[i], &saved[i], nullptr);
}

}  // namespace kvpy
