// The logger's lines on stderr, written only while stderr takes them without waiting.
#pragma once

#include <string_view>

namespace P7 {

// Writes one line (ending in '\n') to stderr when stderr can take it now; otherwise drops
// it and counts it, and writes the count as a line of its own before the next line that
// stderr takes. @p inLogFile says whether the line also reached the log file, so that the
// count tells an operator whether the dropped lines can still be read there.
// Thread-safe; never throws.
void writeToStderr(std::string_view line, bool inLogFile);

}  // namespace P7
