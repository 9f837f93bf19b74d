// The norvane service: logging, start-up, then the collection loop for the rest of its life.
#include <clocale>

#include "collection_loop.h"
#include "p7_trace.h"
#include "startup.h"

int main(int argc, char** argv) {
  // Once, before any thread: glibc's setlocale is not thread-safe, so the meter-message
  // repacking relies on this call instead of repeating it for every message.
  std::setlocale(LC_ALL, "en_us");
  const std::string name = norvane::invocationName(argc, argv);
  P7::TraceObject* trace = P7::LoggerInit(P7::MainTrace, norvane::loggerOptions(name));
  norvane::runLoop(norvane::startService(trace));
}
