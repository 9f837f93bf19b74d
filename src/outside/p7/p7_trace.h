// The logging component: a trace channel that writes records into rolling text files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace P7 {

// Channel name handed to LoggerInit by main.
extern const char* const MainTrace;

// Record levels.
enum Level : int { kTrace = 0, kDebug = 1, kInfo = 2, kWarning = 3, kError = 4, kCritical = 5 };

class TraceObject {
 public:
  // Writes one record. Never throws. Returns once the record has reached its file
  // (records at warning level and above also go to stderr, when it takes them at once).
  void Trace(uint16_t traceId, int level, int module, int line, const char* file,
             const char* function, const char* format, ...)
      __attribute__((format(printf, 8, 9)));

  // Makes sure everything written so far is on disk (used before an immediate exit).
  void Flush();
};

// At most this many bytes of a text from outside (a payload, a topic, a parser's message)
// are quoted in a record, so that a record's size does not follow what a client publishes.
inline constexpr size_t kQuoteBytes = 200;

// How a record quotes a text from outside: the text itself when it is at most kQuoteBytes
// long; otherwise its first kQuoteBytes bytes, cut back to a whole UTF-8 character, then
// "… (<length> bytes)". Copies only the part it keeps. Never throws except std::bad_alloc.
std::string excerpt(std::string_view text);

// Interprets the option string ("/P7.Sink=FileTxt /P7.Dir=... /P7.Roll=24hr /P7.Files=3
// /P7.FSize=10 /P7.Trc.Verb=2") and returns the process-wide trace object. Calling it again
// replaces the sink. Never throws.
TraceObject* LoggerInit(const std::string& channel, const std::string& options);

// The same trace object. Before LoggerInit, records go to stderr.
TraceObject* getTrace();

// Test seam: while an object of this class lives, every record that passes the verbosity
// filter is also handed to the callback as (level, formatted message).
// Several captures may live at once; each sees every record. Callbacks run one at a time
// (under one lock), on the thread that logged. Records logged from inside a callback reach
// the file but not the captures; a callback must not create or destroy a capture.
class RecordCapture {
 public:
  using Callback = std::function<void(int level, const std::string& message)>;
  explicit RecordCapture(Callback callback);
  ~RecordCapture();
  RecordCapture(const RecordCapture&) = delete;
  RecordCapture& operator=(const RecordCapture&) = delete;
};

}  // namespace P7

// Records through a trace object with trace id 0, module 0 and the caller's position.
#define NV_TRACE(trace, level, ...) \
  (trace)->Trace(0, (level), 0, __LINE__, __FILE__, __func__, __VA_ARGS__)
