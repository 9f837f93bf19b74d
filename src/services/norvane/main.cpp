// The norvane service: logging, start-up, then the collection loop for the rest of its life.
#include <malloc.h>

#include <clocale>

#include "collection_loop.h"
#include "p7_trace.h"
#include "startup.h"

namespace {
constexpr int kMmapThresholdBytes = 256 * 1024;
}  // namespace

int main(int argc, char** argv) {
  // Once, before any thread: glibc's setlocale is not thread-safe, so the meter-message
  // repacking relies on this call instead of repeating it for every message.
  std::setlocale(LC_ALL, "en_us");
  // A fixed threshold: glibc would otherwise raise it to the size of the largest block freed
  // (a message of megabytes that was dropped), and later blocks of that size would stay
  // with the process after they are freed instead of going back to the system.
  mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
  const std::string name = norvane::invocationName(argc, argv);
  P7::TraceObject* trace = P7::LoggerInit(P7::MainTrace, norvane::loggerOptions(name));
  norvane::runLoop(norvane::startService(trace));
}
