// norvane-bench-peers: the bus around a benchmarked process — a paced live-value load, the
// bare-client floors it is compared with, a history peer that answers at once and a meter
// message recorder. Bare Paho on purpose: the floors must not share the service's client.
#include <MQTTAsync.h>
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace {

constexpr const char* kBroker = "tcp://127.0.0.1:1883";
constexpr const char* kHistoryRequests = "/rpc/v1/db_logger/history/get_values/+";
constexpr const char* kMeterTopic = "/kv/bridge/data/meter";

struct Options {
  int devices = 100;
  int controls = 20;
  double rate = 2000;
  double seconds = 60;
  int cells = 20;
  int windows = 1440;
  std::string out;
};

int64_t wallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string controlTopic(int device, int control) {
  return fmt::format("/devices/bench_{}/controls/c{:02}", device, control);
}

void check(int rc, std::string_view what) {
  if (rc != MQTTASYNC_SUCCESS) throw std::runtime_error(fmt::format("MQTT error [{}]: {}", rc, what));
}

// A connected async client; blocks until the broker has accepted the connection.
class Client {
 public:
  Client(const std::string& id, MQTTAsync_messageArrived* onMessage, void* context) {
    check(MQTTAsync_create(&handle_, kBroker, id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr),
          "create");
    check(MQTTAsync_setCallbacks(handle_, context, nullptr, onMessage, nullptr), "callbacks");
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.cleansession = 1;
    options.keepAliveInterval = 60;
    options.context = this;
    options.onSuccess = [](void* self, MQTTAsync_successData*) {
      static_cast<Client*>(self)->signal(1);
    };
    options.onFailure = [](void* self, MQTTAsync_failureData*) {
      static_cast<Client*>(self)->signal(-1);
    };
    check(MQTTAsync_connect(handle_, &options), "connect");
    if (wait() != 1) throw std::runtime_error("MQTT error: connect refused");
  }
  ~Client() {
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    options.timeout = 5000;
    MQTTAsync_disconnect(handle_, &options);
    for (int i = 0; i < 50 && MQTTAsync_isConnected(handle_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    MQTTAsync_destroy(&handle_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Subscribes and waits for the broker's acknowledgement, so nothing published later is missed.
  void subscribe(const std::string& filter, int qos) {
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    options.context = this;
    options.onSuccess = [](void* self, MQTTAsync_successData*) {
      static_cast<Client*>(self)->signal(1);
    };
    options.onFailure = [](void* self, MQTTAsync_failureData*) {
      static_cast<Client*>(self)->signal(-1);
    };
    check(MQTTAsync_subscribe(handle_, filter.c_str(), qos, &options), "subscribe " + filter);
    if (wait() != 1) throw std::runtime_error("MQTT error: subscribe refused: " + filter);
  }

  void publish(const std::string& topic, const std::string& payload, int qos) {
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload.data());
    message.payloadlen = static_cast<int>(payload.size());
    message.qos = qos;
    // The send queue may be full for a moment at 20,000 messages/s; a dropped value would
    // show up as a wrong window, so wait instead.
    for (;;) {
      const int rc = MQTTAsync_sendMessage(handle_, topic.c_str(), &message, nullptr);
      if (rc == MQTTASYNC_SUCCESS) return;
      if (rc != MQTTASYNC_MAX_BUFFERED_MESSAGES) check(rc, "publish " + topic);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

 private:
  void signal(int outcome) {
    {
      std::lock_guard lock(mutex_);
      outcome_ = outcome;
    }
    ready_.notify_one();
  }
  int wait() {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, std::chrono::seconds(10), [this] { return outcome_ != 0; })) {
      throw std::runtime_error("MQTT error: no acknowledgement within 10 s");
    }
    return std::exchange(outcome_, 0);
  }

  MQTTAsync handle_ = nullptr;
  std::mutex mutex_;
  std::condition_variable ready_;
  int outcome_ = 0;
};

void blockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void waitForStopSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int received = 0;
  sigwait(&set, &received);
}

// Message ownership goes back to Paho's allocator in every callback.
void release(MQTTAsync_message* message, char* topic) {
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topic);
}

// ---- load: publishes round r of every control as the number r, paced to the rate ----
int runLoad(const Options& o) {
  Client client("bench_load", [](void*, char* t, int, MQTTAsync_message* m) {
    release(m, t);
    return 1;
  }, nullptr);
  std::vector<std::string> topics;
  for (int d = 0; d < o.devices; ++d) {
    for (int c = 0; c < o.controls; ++c) topics.push_back(controlTopic(d, c));
  }
  const auto total = static_cast<int64_t>(o.rate * o.seconds);
  const int64_t startMs = wallMs();
  const auto start = std::chrono::steady_clock::now();
  timespec tick{};
  clock_gettime(CLOCK_MONOTONIC, &tick);
  int64_t sent = 0;
  std::string payload;
  while (sent < total) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int64_t due = std::min(total, static_cast<int64_t>(elapsed * o.rate) + 1);
    for (; sent < due; ++sent) {
      payload = std::to_string(sent / static_cast<int64_t>(topics.size()));
      client.publish(topics[static_cast<size_t>(sent) % topics.size()], payload, 0);
    }
    // Absolute 1 ms ticks: the pacing does not drift with the time the publishing takes.
    tick.tv_nsec += 1000000;
    if (tick.tv_nsec >= 1000000000) {
      tick.tv_nsec -= 1000000000;
      ++tick.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fmt::print("published={} seconds={:.3f} start_ms={} controls={} rate={}\n", sent, took,
             startMs, topics.size(), o.rate);
  return EXIT_SUCCESS;
}

// ---- floor-live: the least a subscriber spends on a live value ----
struct Range {
  double last;
  double min;
  double max;
};

struct FloorLive {
  std::unordered_map<std::string, Range> ranges;
  int64_t received = 0;
};

int onFloorLive(void* context, char* topic, int topicLength, MQTTAsync_message* message) {
  auto& floor = *static_cast<FloorLive*>(context);
  const std::string_view name(topic, topicLength > 0 ? static_cast<size_t>(topicLength)
                                                     : std::strlen(topic));
  // "/devices/<device>/controls/<control>" -> "<device>.<control>"
  std::string key;
  const auto controls = name.find("/controls/");
  if (name.starts_with("/devices/") && controls != std::string_view::npos) {
    key.append(name.substr(9, controls - 9)).push_back('.');
    key.append(name.substr(controls + 10));
    const std::string text(static_cast<const char*>(message->payload),
                           static_cast<size_t>(message->payloadlen));
    const double value = std::strtod(text.c_str(), nullptr);
    auto [it, inserted] = floor.ranges.try_emplace(std::move(key), Range{value, value, value});
    if (!inserted) {
      it->second.last = value;
      if (value > it->second.max) it->second.max = value;
      if (value < it->second.min) it->second.min = value;
    }
    ++floor.received;
  }
  release(message, topic);
  return 1;
}

int runFloorLive(const Options& o) {
  blockStopSignals();
  FloorLive floor;
  Client client("bench_floor_live", onFloorLive, &floor);
  for (int d = 0; d < o.devices; ++d) {
    for (int c = 0; c < o.controls; ++c) client.subscribe(controlTopic(d, c), 0);
  }
  fmt::print("subscribed\n");
  std::fflush(stdout);
  waitForStopSignal();
  fmt::print("received={}\n", floor.received);
  return EXIT_SUCCESS;
}

// ---- meter: records every meter message with its arrival time ----
struct MeterLog {
  std::FILE* file = nullptr;
};

int onMeter(void* context, char* topic, int, MQTTAsync_message* message) {
  const int64_t arrived = wallMs();
  auto& log = *static_cast<MeterLog*>(context);
  const std::string_view payload(static_cast<const char*>(message->payload),
                                 static_cast<size_t>(message->payloadlen));
  fmt::print(log.file, "{} {}\n", arrived, payload);
  std::fflush(log.file);
  release(message, topic);
  return 1;
}

int runMeter(const Options& o) {
  blockStopSignals();
  MeterLog log{std::fopen(o.out.c_str(), "w")};
  if (log.file == nullptr) throw std::runtime_error("cannot open " + o.out);
  {
    Client client("bench_meter", onMeter, &log);
    client.subscribe(kMeterTopic, 2);
    fmt::print("subscribed\n");
    std::fflush(stdout);
    waitForStopSignal();
  }
  std::fclose(log.file);
  return EXIT_SUCCESS;
}

// ---- history: answers every history request at once from Paho's callback ----
std::string historyReply(std::string_view request) {
  const auto parsed = nlohmann::json::parse(request);
  const auto& params = parsed.at("params");
  nlohmann::json row;
  row["control"] = params.at("channels").at(0).at(1);
  row["device"] = params.at("channels").at(0).at(0);
  row["timestamp"] = params.at("timestamp").at("lt");
  row["value"] = "230.5";
  row["min"] = "229.0";
  row["max"] = "231.25";
  nlohmann::json reply;
  reply["id"] = parsed.at("id");
  reply["result"]["values"] = nlohmann::json::array({row});
  return reply.dump();
}

struct History {
  Client* client = nullptr;
  std::atomic<int64_t> answered{0};
  std::atomic<int64_t> firstMs{0};
  std::atomic<int64_t> lastMs{0};
};

int onHistory(void* context, char* topic, int topicLength, MQTTAsync_message* message) {
  auto& history = *static_cast<History*>(context);
  const std::string requestTopic(topic, topicLength > 0 ? static_cast<size_t>(topicLength)
                                                        : std::strlen(topic));
  const std::string_view request(static_cast<const char*>(message->payload),
                                 static_cast<size_t>(message->payloadlen));
  try {
    const std::string reply = historyReply(request);
    history.client->publish(requestTopic + "/reply", reply, 0);
    const int64_t now = wallMs();
    int64_t expected = 0;
    history.firstMs.compare_exchange_strong(expected, now);
    history.lastMs = now;
    ++history.answered;
  } catch (const std::exception& e) {
    fmt::print(stderr, "bench history: {}\n", e.what());
  }
  release(message, topic);
  return 1;
}

int runHistory(const Options&) {
  blockStopSignals();
  History history;
  Client client("bench_history", onHistory, &history);
  history.client = &client;
  client.subscribe(kHistoryRequests, 0);
  fmt::print("subscribed\n");
  std::fflush(stdout);
  waitForStopSignal();
  fmt::print("answered={} first_ms={} last_ms={}\n", history.answered.load(),
             history.firstMs.load(), history.lastMs.load());
  return EXIT_SUCCESS;
}

// ---- floor-backfill: the same round trips one at a time from the main thread ----
// The least a client must do per round trip: build the request text, publish it at QoS 0,
// wait for the reply on its topic and parse it.
struct Replies {
  std::mutex mutex;
  std::condition_variable arrived;
  int64_t count = 0;
  std::string last;
};

int onReply(void* context, char* topic, int, MQTTAsync_message* message) {
  auto& replies = *static_cast<Replies*>(context);
  {
    std::lock_guard lock(replies.mutex);
    ++replies.count;
    replies.last.assign(static_cast<const char*>(message->payload),
                        static_cast<size_t>(message->payloadlen));
  }
  replies.arrived.notify_one();
  release(message, topic);
  return 1;
}

// User and system time of the whole process, Paho's threads included.
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string historyRequest(int cell, int64_t start, int64_t end) {
  nlohmann::json request;
  request["id"] = "bench_1";
  request["params"]["ver"] = 0;
  request["params"]["channels"] =
      nlohmann::json::array({nlohmann::json::array({"bench_0", fmt::format("c{:02}", cell)})});
  request["params"]["request_timeout"] = 50;
  request["params"]["limit"] = 1;
  request["params"]["min_interval"] = end - start;
  request["params"]["timestamp"]["gt"] = start;
  request["params"]["timestamp"]["lt"] = end;
  return request.dump();
}

int runFloorBackfill(const Options& o) {
  Replies replies;
  Client client("bench_floor_backfill", onReply, &replies);
  const std::string requestTopic =
      fmt::format("/rpc/v1/db_logger/history/get_values/pid_{}_N0", getpid());
  client.subscribe(requestTopic + "/reply", 0);
  const int64_t origin = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() -
                         172800;
  const auto started = std::chrono::steady_clock::now();
  const double cpuBefore = cpuSeconds();
  int64_t done = 0;
  size_t values = 0;
  for (int window = 0; window < o.windows; ++window) {
    const int64_t a = origin + window * 120;
    for (int cell = 0; cell < o.cells; ++cell) {
      client.publish(requestTopic, historyRequest(cell, a, a + 120), 0);
      std::string text;
      {
        std::unique_lock lock(replies.mutex);
        if (!replies.arrived.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return replies.count > done; })) {
          throw std::runtime_error("no reply within 60 s");
        }
        done = replies.count;
        text = std::move(replies.last);
      }
      values += nlohmann::json::parse(text).at("result").at("values").size();
    }
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  fmt::print("round_trips={} seconds={:.3f} cpu_seconds={:.3f} values={}\n", done, took,
             cpuSeconds() - cpuBefore, values);
  return EXIT_SUCCESS;
}

constexpr const char* kUsage =
    "Usage: norvane-bench-peers MODE [options]\n"
    "  load            --devices D --controls K --rate R --seconds S\n"
    "  floor-live      --devices D --controls K   (until SIGTERM)\n"
    "  meter           --out FILE                 (until SIGTERM)\n"
    "  history                                    (until SIGTERM)\n"
    "  floor-backfill  --cells N --windows W\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return EXIT_FAILURE;
  }
  const std::string mode = argv[1];
  Options o;
  const option options[] = {{"devices", required_argument, nullptr, 'd'},
                            {"controls", required_argument, nullptr, 'k'},
                            {"rate", required_argument, nullptr, 'r'},
                            {"seconds", required_argument, nullptr, 's'},
                            {"cells", required_argument, nullptr, 'c'},
                            {"windows", required_argument, nullptr, 'w'},
                            {"out", required_argument, nullptr, 'o'},
                            {nullptr, 0, nullptr, 0}};
  try {
    for (int opt; (opt = getopt_long(argc - 1, argv + 1, "", options, nullptr)) != -1;) {
      switch (opt) {
        case 'd': o.devices = std::stoi(optarg); break;
        case 'k': o.controls = std::stoi(optarg); break;
        case 'r': o.rate = std::stod(optarg); break;
        case 's': o.seconds = std::stod(optarg); break;
        case 'c': o.cells = std::stoi(optarg); break;
        case 'w': o.windows = std::stoi(optarg); break;
        case 'o': o.out = optarg; break;
        default: std::fputs(kUsage, stderr); return EXIT_FAILURE;
      }
    }
    if (mode == "load") return runLoad(o);
    if (mode == "floor-live") return runFloorLive(o);
    if (mode == "meter") return runMeter(o);
    if (mode == "history") return runHistory(o);
    if (mode == "floor-backfill") return runFloorBackfill(o);
    std::fputs(kUsage, stderr);
  } catch (const std::exception& e) {
    fmt::print(stderr, "norvane-bench-peers {}: {}\n", mode, e.what());
  }
  return EXIT_FAILURE;
}
