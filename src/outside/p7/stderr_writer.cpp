// Lines to stderr that never wait for a reader: a full pipe or a stalled journal stream
// costs lines on stderr, never a thread of the service.
#include "stderr_writer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>

#include <fmt/format.h>

namespace P7 {

namespace {

// Descriptor 2 is never made non-blocking: its file description is shared with the
// terminal, systemd's journal stream or whoever started the service, and the flag would
// change their writes too. Instead a chunk of at most PIPE_BUF bytes is written only when
// a zero-timeout poll() says stderr is writable, which is enough not to wait:
// - a pipe polls writable while it has a free page, and PIPE_BUF bytes fit in one;
// - a unix stream socket (the journal) polls writable while at most a quarter of its send
//   buffer is in use, far more free room than PIPE_BUF;
// - a regular file or /dev/null always polls writable; a write waits for the disk only;
// - a terminal polls writable while its output is not stopped (Ctrl-S) and it has some
//   room; a chunk larger than that room waits until the terminal reads, at once for one
//   in use. A terminal is where someone watches the service, not where it is deployed.
// The mutex makes poll and write one step for this process only: another process writing
// into the same pipe could fill it in between. Under systemd the service has no such
// companion, so the gap is left open rather than paid for with a thread of its own.
// A descriptor whose reader has gone polls with an error or a hang-up and is not written:
// the write would raise SIGPIPE, which ends the service.
bool writableNow() {
  pollfd stderrFd{STDERR_FILENO, POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&stderrFd, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready == 1 && stderrFd.revents == POLLOUT;
}

// Returns how many bytes of @p text stderr took.
size_t writeWhileWritable(std::string_view text) {
  size_t done = 0;
  while (done < text.size() && writableNow()) {
    const size_t chunk = std::min(text.size() - done, size_t{PIPE_BUF});
    const ssize_t written = ::write(STDERR_FILENO, text.data() + done, chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;  // EAGAIN: someone made the shared description non-blocking
    done += static_cast<size_t>(written);
  }
  return done;
}

struct StderrState {
  std::mutex mutex;
  uint64_t droppedInLogFile = 0;
  uint64_t droppedElsewhere = 0;
  bool lineOpen = false;  // a line was cut short: stderr's last line has no end yet

  // False when stderr did not take the whole line.
  bool put(std::string_view line) {
    if (lineOpen) {
      if (writeWhileWritable("\n") == 0) return false;
      lineOpen = false;
    }
    const size_t written = writeWhileWritable(line);
    lineOpen = written > 0 && written < line.size();
    return written == line.size();
  }

  std::string dropNotice() const {
    const uint64_t dropped = droppedInLogFile + droppedElsewhere;
    const char* plural = dropped == 1 ? "" : "s";
    if (droppedElsewhere == 0) {
      return fmt::format(
          "p7: {} record{} not written to stderr (stderr was full); {} in the log file\n",
          dropped, plural, dropped == 1 ? "it is" : "they are");
    }
    return fmt::format(
        "p7: {} record{} not written to stderr (stderr was full); {} of them not in the log "
        "file either\n",
        dropped, plural, droppedElsewhere);
  }
};

// Never destroyed: threads that are still running while the process exits may log.
StderrState& stderrState() {
  static StderrState* instance = new StderrState;
  return *instance;
}

}  // namespace

void writeToStderr(std::string_view line, bool inLogFile) {
  try {
    StderrState& state = stderrState();
    std::lock_guard<std::mutex> lock(state.mutex);
    const bool owesNotice = state.droppedInLogFile + state.droppedElsewhere > 0;
    if (!owesNotice || state.put(state.dropNotice())) {
      state.droppedInLogFile = 0;
      state.droppedElsewhere = 0;
      if (state.put(line)) return;
    }
    ++(inLogFile ? state.droppedInLogFile : state.droppedElsewhere);
  } catch (...) {
    // The logger never takes the process down.
  }
}

}  // namespace P7
