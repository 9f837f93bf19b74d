// Micro benchmarks of the service's hot paths: what the cache thread does per live value,
// what a collection step does per reply, and the progress file's pass.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "availability_cache.h"
#include "collection_step.h"
#include "history_client.h"
#include "history_reply.h"
#include "io_info.h"
#include "mqtt_async_wrapper.h"
#include "p7_trace.h"
#include "progress_store.h"
#include "response_processing.h"
#include "service_state.h"

namespace {

using nlohmann::json;

// An RAII scratch directory, so nothing lands in the service's own /tmp/norvane.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "norvane-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string directory() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

// The step logs every meter message; the records go to a file as in the service, not to
// the terminal.
const ScratchDir& logDirectory() {
  static const ScratchDir dir;
  static const bool initialised = [] {
    P7::LoggerInit(P7::MainTrace, fmt::format("/P7.Sink=FileTxt /P7.Dir={} /P7.Roll=24hr "
                                              "/P7.Files=3 /P7.FSize=10 /P7.Trc.Verb=2",
                                              dir.directory()));
    return true;
  }();
  (void)initialised;
  return dir;
}

std::string cellName(int cell) { return fmt::format("c{:02}", cell); }

kavrion::IoMap makeIoMap(int entries, int cells) {
  json io = json::array();
  for (int e = 0; e < entries; ++e) {
    json names = json::array();
    for (int c = 0; c < cells; ++c) names.push_back(cellName(c));
    io.push_back({{"id", fmt::format("m{}", e)},
                  {"device", fmt::format("bench_{}", e)},
                  {"type", "meter_water"},
                  {"cells", names}});
  }
  kavrion::TemplateCacheCleanupGuard guard(false);
  return kavrion::parseIoStructure<kavrion::IoInfo>(json{{"io", io}}, guard, true);
}

// ---- the cache thread, per live value ----

void CacheUpdaterHandle(benchmark::State& state) {
  logDirectory();
  norvane::CacheUpdater updater;
  std::vector<kavrion::mosquitto::msg_t> messages;
  for (int d = 0; d < 100; ++d) {
    for (int c = 0; c < 20; ++c) {
      const std::string payload = fmt::format("{}.{}", 230 + d, c);
      messages.push_back({fmt::format("/devices/bench_{}/controls/{}", d, cellName(c)),
                          {payload.begin(), payload.end()}, 0});
    }
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(updater.handle(messages[i]));
    if (++i == messages.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CacheUpdaterHandle);

// ---- a meter message from the replies of one step ----

std::list<std::string> historyReplies(int entries, int cells) {
  std::list<std::string> replies;
  for (int e = 0; e < entries; ++e) {
    for (int c = 0; c < cells; ++c) {
      json row{{"control", cellName(c)}, {"device", fmt::format("bench_{}", e)},
               {"max", "231.25"}, {"min", "229.0"}, {"timestamp", 1765152120},
               {"value", "230.5"}};
      replies.push_back(json{{"id", fmt::format("m{}", e)},
                             {"result", {{"values", json::array({row})}}}}
                            .dump());
    }
  }
  return replies;
}

// repackResponse runs postProcessResponse on the message before serialising it.
void RepackResponse(benchmark::State& state) {
  logDirectory();
  const int entries = static_cast<int>(state.range(0));
  const auto ioMap = makeIoMap(entries, 20);
  const auto replies = historyReplies(entries, 20);
  for (auto _ : state) {
    benchmark::DoNotOptimize(norvane::repackResponse(replies, ioMap, 1765152120));
  }
  state.SetItemsProcessed(state.iterations() * entries * 20);
  state.SetLabel(fmt::format("{} entries x 20 cells", entries));
}
BENCHMARK(RepackResponse)->Arg(1)->Arg(50)->Arg(500)->Unit(benchmark::kMicrosecond);

// A reply as it arrives, of one row as a request asks, or of many as a confused or hostile
// logger sends it: the rows past the bound are counted, not kept, so the time grows with the
// reply's length and the memory does not.
std::string replyOfRows(int rows) {
  const json row{{"control", cellName(0)}, {"device", "bench_0"}, {"max", "231.25"},
                 {"min", "229.0"}, {"timestamp", 1765152120}, {"value", "230.5"}};
  return json{{"id", "m0"}, {"result", {{"values", json(std::vector<json>(rows, row))}}}}.dump();
}

void ReplyOfManyRows(benchmark::State& state) {
  const std::string text = replyOfRows(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const norvane::ReceivedReply reply = norvane::readReply(text);
    if (reply.rows != static_cast<std::size_t>(state.range(0))) state.SkipWithError("miscounted");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetLabel(fmt::format("{} bytes", text.size()));
}
BENCHMARK(ReplyOfManyRows)->Arg(1)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Rows of one cell stored into the meter message: appended in place, linear in their number.
void RowsOfOneCell(benchmark::State& state) {
  logDirectory();
  const auto ioMap = makeIoMap(1, 1);
  const json reply = json::parse(replyOfRows(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    norvane::MeterMessage message(ioMap, 1765152120);
    message.addReply(reply, "");
    benchmark::DoNotOptimize(message.finish());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(RowsOfOneCell)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void MakeRequests(benchmark::State& state) {
  const auto ioMap = makeIoMap(1, 20);
  const auto& [id, entry] = *ioMap.begin();
  for (auto _ : state) {
    benchmark::DoNotOptimize(norvane::makeRequests(id, entry, {1765152000, 1765152120}));
  }
  state.SetItemsProcessed(state.iterations() * 20);
  state.SetLabel("20 cells");
}
BENCHMARK(MakeRequests)->Unit(benchmark::kMicrosecond);

// ---- the progress file, once per pass ----

void ProgressPass(benchmark::State& state) {
  logDirectory();
  const ScratchDir dir;
  const norvane::ProgressLocation location{dir.directory() + "norvane/", "timestamp"};
  const int64_t now = 1765152000;
  const norvane::WallClock clock = [now] { return now; };
  norvane::setTime(json::parse(fmt::format(R"({{"intervals":[{{"a":{},"b":{}}},{{"a":{}}}]}})",
                                           now - 7200, now - 120, now)),
                   location);
  for (auto _ : state) {
    json document = norvane::getTime(location, clock);
    document["intervals"][0]["a"] = document["intervals"][0]["a"].get<int64_t>();
    norvane::setTime(document, location);
  }
}
BENCHMARK(ProgressPass)->Unit(benchmark::kMicrosecond);

// ---- one current step over 2,000 controls ----

// The step publishes its message through a client that is never connected: Send of a QoS 2
// message then only lands in Paho's offline buffer, so the figure is the step's own work
// without a broker (the publish itself is a memory copy either way; its network cost
// belongs to Paho's thread, not to the collection thread).
void CurrentStep(benchmark::State& state) {
  logDirectory();
  const auto ioMap = makeIoMap(100, 20);
  kavrion::mosquitto::ClientOptions options;
  options.serverUri = "tcp://127.0.0.1:9";
  auto client = std::make_shared<kavrion::mosquitto::MqttAsyncWrapper>("bench_step", options);
  {
    std::lock_guard lock(norvane::m_mutex_cache);
    for (int d = 0; d < 100; ++d) {
      for (int c = 0; c < 20; ++c) {
        norvane::m_cache[fmt::format("bench_{}.{}", d, cellName(c))] = {230.5, 229.0, 231.25};
      }
    }
    norvane::m_last_update_cache = std::chrono::steady_clock::now();
  }
  int64_t end = 1765152060;
  for (auto _ : state) {
    norvane::performStep({end - 60, end}, true, ioMap, client);
    end += 60;
    // The staleness check must never end the benchmark.
    std::lock_guard lock(norvane::m_mutex_cache);
    norvane::m_last_update_cache = std::chrono::steady_clock::now();
  }
  state.SetItemsProcessed(state.iterations() * 2000);
  state.SetLabel("100 entries x 20 cells");
}
BENCHMARK(CurrentStep)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
