// ombru-dev-daemon: a stand-in for the voice daemon's HTTP service on
// loopback, with flags that make it fail in each way a client must survive.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "options.hpp"
#include "state.hpp"

namespace {

using json = nlohmann::ordered_json;
constexpr const char* kHost = "127.0.0.1";

// Set once on SIGTERM or SIGINT; every wait in a handler watches it, so that
// stopping never waits on a held, slow or dripping connection.
class StopFlag {
 public:
  void set() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stopped_ = true;
    }
    cv_.notify_all();
  }
  bool isSet() {
    std::lock_guard<std::mutex> lock(m_);
    return stopped_;
  }
  // Sleeps up to `ms`; true when stopped meanwhile.
  bool waitFor(std::chrono::milliseconds ms) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, ms, [&] { return stopped_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool stopped_ = false;
};

class RequestLog {
 public:
  explicit RequestLog(std::FILE* out) : out_(out) {}
  void write(const httplib::Request& req, const json& status) {
    json line = {{"time", now()},
                 {"method", req.method},
                 {"path", req.path},
                 {"body", bodyOf(req.body)},
                 {"status", status}};
    std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(m_);
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
  }

 private:
  static json bodyOf(const std::string& body) {
    if (body.empty()) return nullptr;
    json parsed = json::parse(body, nullptr, false);
    return parsed.is_discarded() ? json(body) : parsed;
  }
  static std::string now() {
    auto t = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
  }
  std::mutex m_;
  std::FILE* out_;
};

// httplib hands handlers no socket, yet a held connection must notice its
// client leaving, and stopping must cut every open connection. The accepted
// sockets are found by their addresses: local port ours, peer present.
bool isOurConnection(int fd, int port, int peerPort) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  sockaddr_in local{}, peer{};
  socklen_t len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 ||
      local.sin_family != AF_INET)
    return false;
  len = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
  if (ntohs(local.sin_port) != port) return false;
  return peerPort < 0 || ntohs(peer.sin_port) == peerPort;
}

std::vector<int> ourConnections(int port, int peerPort) {
  std::vector<int> fds;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return fds;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == dirfd(d)) continue;
    if (isOurConnection(static_cast<int>(fd), port, peerPort)) fds.push_back(static_cast<int>(fd));
  }
  closedir(d);
  return fds;
}

struct Daemon {
  devd::Options opt;
  devd::DaemonState state;
  std::mutex stateMutex;
  StopFlag stop;
  RequestLog log;
  int port = 0;

  Daemon(devd::Options o, json doc, std::FILE* logOut)
      : opt(std::move(o)), state(std::move(doc), devd::Clock::now()), log(logOut) {}
};

// Logged by the handler itself (a held request); the response hook skips it.
thread_local bool tAlreadyLogged = false;

void setJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                  "application/json");
}

// Holds the request until the client gives up or the daemon stops, then cuts
// the connection so that not one byte of an answer goes out.
void holdSilently(Daemon& d, const httplib::Request& req) {
  d.log.write(req, nullptr);
  tAlreadyLogged = true;
  std::vector<int> fds = ourConnections(d.port, req.remote_port);
  int fd = fds.size() == 1 ? fds[0] : -1;
  while (!d.stop.waitFor(std::chrono::milliseconds(50))) {
    if (fd < 0) continue;
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
  }
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void serveState(Daemon& d, const httplib::Request& req, httplib::Response& res) {
  if (d.opt.silent) return holdSilently(d, req);
  std::string body;
  if (d.opt.garbage) {
    // Labelled as JSON on purpose: a client must judge the body, not the header.
    body = "<html><body>ombru-dev-daemon: this is not JSON {\"muted\": tru</body></html>\n";
  } else {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    body =
        d.state.document(devd::Clock::now()).dump(-1, ' ', false, json::error_handler_t::replace) +
        "\n";
  }
  res.status = d.opt.status.value_or(200);
  if (!d.opt.dripMs) {
    res.set_content(body, "application/json");
    return;
  }
  auto shared = std::make_shared<std::string>(std::move(body));
  auto pause = std::chrono::milliseconds(*d.opt.dripMs);
  res.set_content_provider(shared->size(), "application/json",
                           [&d, shared, pause](size_t offset, size_t, httplib::DataSink& sink) {
                             if (d.stop.waitFor(pause)) return false;
                             return sink.write(shared->data() + offset, 1);
                           });
}

void serveCommand(Daemon& d, const httplib::Request& req, httplib::Response& res) {
  if (d.opt.silent) return holdSilently(d, req);
  std::string type = req.get_header_value("Content-Type");
  if (type.substr(0, type.find(';')) != "application/json") {
    setJson(
        res, 415,
        {{"ok", false}, {"error", "Content-Type must be application/json, got \"" + type + "\""}});
    return;
  }
  devd::Reply r;
  {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    r = d.state.command(req.path, req.body, devd::Clock::now());
  }
  setJson(res, r.status, r.body);
}

std::atomic<bool> gDone{false};

// Signals are blocked in every thread and taken here, so that stopping is
// ordinary code rather than work inside a signal handler.
void watchSignals(Daemon& d, httplib::Server& svr, sigset_t set) {
  timespec tick{0, 100 * 1000 * 1000};
  while (!gDone) {
    if (sigtimedwait(&set, nullptr, &tick) < 0) continue;
    d.stop.set();
    // stop() does nothing before listen has begun, so wait for it.
    while (!gDone && !svr.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (svr.is_running()) svr.stop();
    for (int fd : ourConnections(d.port, -1)) shutdown(fd, SHUT_RDWR);
    return;
  }
}

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return !in.bad();
}

int run(int argc, char** argv) {
  // Blocked from the start, so that a stop request during start-up is taken
  // by the watcher once listening rather than killing the process outright.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::vector<std::string_view> args(argv + 1, argv + argc);
  devd::ParsedOptions parsed = devd::parseOptions(args);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ombru-dev-daemon: %s\n\n%s", parsed.error.c_str(), devd::kUsage);
    return 2;
  }
  devd::Options opt = parsed.options;
  if (opt.help) {
    std::fputs(devd::kUsage, stdout);
    return 0;
  }

  json doc = devd::demoDocument();
  if (!opt.scenario.empty()) {
    std::string text;
    if (!readFile(opt.scenario, text)) {
      std::fprintf(stderr, "ombru-dev-daemon: cannot read scenario %s: %s\n", opt.scenario.c_str(),
                   std::strerror(errno));
      return 2;
    }
    doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
      std::fprintf(stderr, "ombru-dev-daemon: scenario %s is not valid JSON\n",
                   opt.scenario.c_str());
      return 2;
    }
  }

  std::FILE* logOut = stdout;
  if (!opt.log.empty()) {
    logOut = std::fopen(opt.log.c_str(), "a");
    if (!logOut) {
      std::fprintf(stderr, "ombru-dev-daemon: cannot open log %s: %s\n", opt.log.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }

  // A client that leaves mid-answer must not kill the daemon.
  signal(SIGPIPE, SIG_IGN);

  auto d = std::make_unique<Daemon>(opt, std::move(doc), logOut);
  httplib::Server svr;
  // Held connections each take a worker, so keep some spare.
  svr.new_task_queue = [] { return new httplib::ThreadPool(16); };
  // One request per connection: nothing idles in keep-alive when stopping,
  // and every client sees "Connection: close" rather than a surprise close.
  svr.set_keep_alive_max_count(1);
  svr.set_read_timeout(2, 0);
  svr.set_payload_max_length(64 * 1024);
  // httplib's default adds SO_REUSEPORT, which lets a second daemon share the
  // port and answer half the requests from another state. Only reuse the
  // address, so that a restart does not wait out TIME_WAIT.
  svr.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  Daemon& dm = *d;
  svr.Get("/state",
          [&dm](const httplib::Request& req, httplib::Response& res) { serveState(dm, req, res); });
  for (const char* path : {"/mute", "/loop", "/bind"})
    svr.Post(path, [&dm](const httplib::Request& req, httplib::Response& res) {
      serveCommand(dm, req, res);
    });
  svr.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
                                                                httplib::Response& res) {
    if (res.has_header("Content-Type")) return httplib::Server::HandlerResponse::Unhandled;
    std::string what = res.status == 404 ? "no such path" : "HTTP " + std::to_string(res.status);
    setJson(res, res.status, {{"ok", false}, {"error", what}});
    return httplib::Server::HandlerResponse::Handled;
  }));
  svr.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        setJson(res, 500, {{"ok", false}, {"error", "internal error"}});
      });
  // Runs for every response just before its first byte: the place to delay
  // and to log, so a line is in the log by the time its client has an answer.
  svr.set_post_routing_handler([&dm](const httplib::Request& req, httplib::Response& res) {
    if (tAlreadyLogged) {
      tAlreadyLogged = false;
      return;
    }
    if (dm.opt.slowMs > 0) dm.stop.waitFor(std::chrono::milliseconds(dm.opt.slowMs));
    dm.log.write(req, res.status);
  });

  if (opt.port == 0) {
    dm.port = svr.bind_to_any_port(kHost);
  } else {
    dm.port = svr.bind_to_port(kHost, opt.port) ? opt.port : -1;
  }
  if (dm.port <= 0) {
    std::fprintf(stderr, "ombru-dev-daemon: cannot listen on %s:%d: %s\n", kHost, opt.port,
                 std::strerror(errno));
    return 1;
  }

  std::thread signals(watchSignals, std::ref(dm), std::ref(svr), stopSignals);
  std::fprintf(stderr, "ombru-dev-daemon listening on %s:%d\n", kHost, dm.port);
  std::fflush(stderr);
  bool ok = svr.listen_after_bind();
  gDone = true;
  signals.join();
  if (logOut != stdout) std::fclose(logOut);
  if (!ok && !dm.stop.isSet()) {
    std::fprintf(stderr, "ombru-dev-daemon: the server stopped unexpectedly\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ombru-dev-daemon: %s\n", e.what());
    return 1;
  }
}
