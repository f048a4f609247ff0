// The files room installs the tool's stop handler (remove the staged files,
// end the process) the first time a file is staged. In Python, Ctrl-C must
// stay a KeyboardInterrupt: the handler is installed once at import and the
// interpreter's handlers put back, so that later calls leave them alone.
#pragma once

namespace kvpy {

void keepPythonSignalHandlers();

}  // namespace kvpy
