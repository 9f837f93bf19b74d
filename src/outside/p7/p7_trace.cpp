// The process-wide trace object: filters, formats and hands records to their sinks.
#include "p7_trace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "rolling_file.h"
#include "stderr_writer.h"
#include "trace_line.h"
#include "trace_options.h"

namespace P7 {

const char* const MainTrace = "norvane";

namespace {

struct CaptureSlot {
  const RecordCapture* owner;
  RecordCapture::Callback callback;
};

struct Logger {
  std::atomic<int> verbosity{0};

  std::mutex sinkMutex;  // guards sink and file, never held while writing
  SinkKind sink = SinkKind::kStderr;
  std::shared_ptr<RollingFile> file;

  std::mutex captureMutex;  // held while callbacks run, so a capture's owner can rely on it
  std::vector<CaptureSlot> captures;
};

// Never destroyed: threads that are still running while the process exits may log.
Logger& logger() {
  static Logger* instance = new Logger;
  return *instance;
}

TraceObject& traceObject() {
  static TraceObject* instance = new TraceObject;
  return *instance;
}

long currentThreadId() {
  thread_local const long id = static_cast<long>(::syscall(SYS_gettid));
  return id;
}

// A capture callback that logs itself must not deadlock on the capture list.
thread_local bool insideCapture = false;

std::string formatMessage(const char* format, va_list args) {
  if (format == nullptr) return "(null format)";
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length < 0) return std::string("(bad format) ") + format;
  if (static_cast<size_t>(length) < sizeof small) return std::string(small, static_cast<size_t>(length));
  std::string large;
  large.reserve(static_cast<size_t>(length) + 1 + kLineHeadroom);
  large.resize(static_cast<size_t>(length) + 1);
  std::vsnprintf(large.data(), large.size(), format, args);
  large.resize(static_cast<size_t>(length));
  return large;
}

void deliverToCaptures(int level, const std::string& message) {
  if (insideCapture) return;
  Logger& log = logger();
  std::lock_guard<std::mutex> lock(log.captureMutex);
  insideCapture = true;
  for (const CaptureSlot& slot : log.captures) {
    try {
      slot.callback(level, message);
    } catch (...) {
    }
  }
  insideCapture = false;
}

void deliverLine(int level, const std::string& line) {
  Logger& log = logger();
  SinkKind sink;
  std::shared_ptr<RollingFile> file;
  {
    std::lock_guard<std::mutex> lock(log.sinkMutex);
    sink = log.sink;
    file = log.file;
  }
  const bool inFile = sink == SinkKind::kFileTxt && file && file->write(line);
  // A record that cannot reach its file is not lost: the journal gets it.
  if ((sink != SinkKind::kNull && !inFile) || level >= kWarning) writeToStderr(line, inFile);
}

}  // namespace

void TraceObject::Trace(uint16_t /*traceId*/, int level, int /*module*/, int line,
                        const char* file, const char* function, const char* format, ...) {
  try {
    if (level < logger().verbosity.load(std::memory_order_relaxed)) return;
    const auto now = std::chrono::system_clock::now();
    std::string message;
    va_list args;
    va_start(args, format);
    try {
      message = formatMessage(format, args);
    } catch (...) {
      va_end(args);
      return;
    }
    va_end(args);
    deliverToCaptures(level, message);
    deliverLine(level, formatTraceLine(now, level, currentThreadId(), file ? file : "", line,
                                       function ? function : "", std::move(message)));
  } catch (...) {
    // The logger never takes the process down.
  }
}

void TraceObject::Flush() {
  try {
    std::shared_ptr<RollingFile> file;
    {
      std::lock_guard<std::mutex> lock(logger().sinkMutex);
      file = logger().file;
    }
    if (file) file->sync();
  } catch (...) {
  }
}

TraceObject* LoggerInit(const std::string& channel, const std::string& options) {
  try {
    const TraceOptions parsed = parseTraceOptions(options);
    std::shared_ptr<RollingFile> file;
    if (parsed.sink == SinkKind::kFileTxt) {
      std::string fileChannel = channel.empty() ? std::string("trace") : channel;
      std::replace(fileChannel.begin(), fileChannel.end(), '/', '_');
      file = std::make_shared<RollingFile>(RollingFileSettings{
          parsed.dir, fileChannel, parsed.maxFileBytes, parsed.maxFiles, parsed.rollPeriod});
      file->open();  // reports a bad directory now; records still retry later
    }
    Logger& log = logger();
    {
      std::lock_guard<std::mutex> lock(log.sinkMutex);
      log.sink = parsed.sink;
      log.file = std::move(file);
    }
    log.verbosity.store(parsed.verbosity, std::memory_order_relaxed);
  } catch (...) {
    // Keep whatever sink was there; records still reach stderr at worst.
  }
  return &traceObject();
}

TraceObject* getTrace() { return &traceObject(); }

std::string excerpt(std::string_view text) {
  if (text.size() <= kQuoteBytes) return std::string(text);
  // The first byte left out continues a character that began before the cut: leave that
  // character out too. A character has at most three continuation bytes; a longer run is
  // not UTF-8 (a binary payload), and is cut there rather than quoted as nothing.
  constexpr size_t kMaxContinuationBytes = 3;
  size_t cut = kQuoteBytes;
  while (cut > kQuoteBytes - kMaxContinuationBytes &&
         (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) {
    --cut;
  }
  std::string quoted;
  quoted.reserve(cut + 32);
  quoted.append(text.substr(0, cut));
  fmt::format_to(std::back_inserter(quoted), "… ({} bytes)", text.size());
  return quoted;
}

RecordCapture::RecordCapture(Callback callback) {
  Logger& log = logger();
  std::lock_guard<std::mutex> lock(log.captureMutex);
  log.captures.push_back(CaptureSlot{this, std::move(callback)});
}

RecordCapture::~RecordCapture() {
  Logger& log = logger();
  std::lock_guard<std::mutex> lock(log.captureMutex);
  std::erase_if(log.captures, [this](const CaptureSlot& slot) { return slot.owner == this; });
}

}  // namespace P7
