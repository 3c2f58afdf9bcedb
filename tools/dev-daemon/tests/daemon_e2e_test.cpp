// Runs the real ombru-dev-daemon on a free loopback port and talks to it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Generous bounds for a loaded machine or a sanitizer build; they only stop
// a hung daemon from hanging the suite.
constexpr auto kStartBound = 20s;
constexpr auto kStopBound = 10s;

fs::path tempDir() {
  std::string tmpl = (fs::temp_directory_path() / "ombru-devd-XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  return made ? fs::path(made) : fs::path();
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<json> logLines(const fs::path& p) {
  std::vector<json> out;
  std::istringstream in(slurp(p));
  for (std::string line; std::getline(in, line);) out.push_back(json::parse(line, nullptr, false));
  return out;
}

int openFds(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// One daemon process; stopped by pid when the test ends.
class Daemon {
 public:
  explicit Daemon(std::vector<std::string> args) : dir_(tempDir()) {
    args.insert(args.begin(), {OMBRU_DEVD_BINARY, "--port", "0", "--log", log().string()});
    int errPipe[2];
    if (pipe(errPipe) != 0) return;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      // A test that dies must not leave its daemon behind.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(errPipe[1], 2);
      close(errPipe[0]);
      close(errPipe[1]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(errPipe[1]);
    err_ = errPipe[0];
    readReadyLine();
  }

  ~Daemon() {
    if (pid_ > 0 && !exitStatus_) stop();
    if (err_ >= 0) close(err_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& ready() const { return ready_; }
  fs::path log() const { return dir_ / "requests.jsonl"; }

  // Sends `sig` and waits for the exit; the exit status, or -1 if it hung.
  int stop(int sig = SIGTERM) {
    kill(pid_, sig);
    return waitExit();
  }

  int waitExit() {
    auto deadline = std::chrono::steady_clock::now() + kStopBound;
    while (std::chrono::steady_clock::now() < deadline) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        exitStatus_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return *exitStatus_;
      }
      std::this_thread::sleep_for(10ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    exitStatus_ = -1;
    return -1;
  }

  httplib::Client client(std::chrono::milliseconds readTimeout = 5000ms) const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(readTimeout);
    c.set_connection_timeout(2s);
    return c;
  }

  json state() const {
    auto c = client();
    auto r = c.Get("/state");
    if (!r || r->status != 200) return nullptr;
    return json::parse(r->body, nullptr, false);
  }

  int post(const std::string& path, const std::string& body) const {
    auto c = client();
    auto r = c.Post(path, body, "application/json");
    return r ? r->status : -1;
  }

 private:
  void readReadyLine() {
    auto deadline = std::chrono::steady_clock::now() + kStartBound;
    char buf[256];
    while (ready_.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{err_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
      ssize_t n = read(err_, buf, sizeof buf);
      if (n <= 0) return;
      ready_.append(buf, static_cast<size_t>(n));
    }
    const std::string prefix = "ombru-dev-daemon listening on 127.0.0.1:";
    if (ready_.rfind(prefix, 0) == 0) port_ = std::atoi(ready_.c_str() + prefix.size());
  }

  fs::path dir_;
  pid_t pid_ = -1;
  int err_ = -1;
  int port_ = 0;
  std::string ready_;
  std::optional<int> exitStatus_;
};

fs::path writeScenario(const fs::path& dir, const std::string& name, const std::string& text) {
  fs::path p = dir / name;
  std::ofstream(p) << text;
  return p;
}

// A raw connection, for what an HTTP client hides: how the bytes arrive.
int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void sendAll(int fd, const std::string& s) {
  ASSERT_EQ(send(fd, s.data(), s.size(), 0), ssize_t(s.size()));
}

// The document with the running countdowns taken out, since they move.
json withoutCountdowns(json doc) {
  if (doc.is_object() && doc.contains("active") && doc["active"].is_array())
    for (json& a : doc["active"])
      if (a.is_object() && a.contains("next_in") && a["next_in"].is_number_integer())
        a.erase("next_in");
  return doc;
}

const std::string kGetState = "GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

TEST(DevDaemon, AnnouncesItsPortAndServesTheDemo) {
  Daemon d({});
  ASSERT_GT(d.port(), 0) << d.ready();
  EXPECT_EQ(d.ready(),
            "ombru-dev-daemon listening on 127.0.0.1:" + std::to_string(d.port()) + "\n");
  json s = d.state();
  ASSERT_TRUE(s.is_object());
  json demo = json::parse(slurp(fs::path(OMBRU_DEVD_SCENARIOS) / "demo.json"));
  ASSERT_EQ(s["active"].size(), demo["active"].size());
  for (size_t i = 0; i < demo["active"].size(); ++i)
    EXPECT_LE(s["active"][i]["next_in"], demo["active"][i]["next_in"]);
  EXPECT_EQ(withoutCountdowns(s), withoutCountdowns(demo));
  EXPECT_EQ(d.stop(), 0);
}

TEST(DevDaemon, ListensOnLoopbackOnly) {
  Daemon d({});
  ASSERT_GT(d.port(), 0);
  char portHex[8];
  std::snprintf(portHex, sizeof portHex, ":%04X", d.port());
  std::vector<std::string> listening;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    for (std::string line; std::getline(in, line);) {
      std::istringstream f(line);
      std::string slot, local, remote, st;
      f >> slot >> local >> remote >> st;
      if (st == "0A" && local.size() > 5 && local.substr(local.size() - 5) == portHex)
        listening.push_back(local);
    }
  }
  EXPECT_EQ(listening, std::vector<std::string>{std::string("0100007F") + portHex});
}

TEST(DevDaemon, RefusesAPortInUse) {
  Daemon first({});
  ASSERT_GT(first.port(), 0);
  Daemon second({"--port", std::to_string(first.port())});
  EXPECT_EQ(second.port(), 0);
  EXPECT_EQ(second.waitExit(), 1);
  EXPECT_NE(second.ready().find("cannot listen"), std::string::npos) << second.ready();
}

TEST(DevDaemon, EachCommandShowsInTheNextState) {
  Daemon d({});
  ASSERT_GT(d.port(), 0);
  EXPECT_EQ(d.post("/mute", R"({"muted":true})"), 200);
  EXPECT_EQ(d.state()["muted"], true);

  EXPECT_EQ(d.post("/loop", R"({"key":"term-2","on":false})"), 200);
  json s = d.state();
  EXPECT_EQ(s["active"][1]["loop"]["on"], false);
  EXPECT_EQ(s["active"][0]["loop"]["on"], true);

  EXPECT_EQ(d.post("/loop", R"({"key":"code-1","minutes":30,"on":true})"), 200);
  s = d.state();
  EXPECT_EQ(s["active"][2]["loop"]["minutes"], 30);
  EXPECT_GT(s["active"][2]["next_in"], 1700);

  EXPECT_EQ(d.post("/loop", R"({"all":true,"on":false})"), 200);
  s = d.state();
  for (const json& a : s["active"]) EXPECT_EQ(a["loop"]["on"], false);

  EXPECT_EQ(d.post("/bind", R"({"project":"client"})"), 200);
  EXPECT_EQ(d.state()["bound"], "client");
  EXPECT_EQ(d.post("/bind", R"({"project":"code-1"})"), 404);
  EXPECT_EQ(d.state()["bound"], "client");
}

TEST(DevDaemon, RefusedRequestsChangeNothingAndSayWhy) {
  Daemon d({});
  ASSERT_GT(d.port(), 0);
  json before = d.state();
  EXPECT_EQ(d.post("/mute", "{\"muted\":"), 400);
  EXPECT_EQ(d.post("/mute", R"({"muted":1})"), 400);
  EXPECT_EQ(d.post("/loop", R"({"all":true,"key":"term-1","on":true})"), 400);
  auto c = d.client();
  auto plain = c.Post("/mute", R"({"muted":true})", "text/plain");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->status, 415);
  auto missing = c.Get("/nothing-here");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(json::parse(missing->body, nullptr, false)["ok"], false);
  auto wrongMethod = c.Post("/state", "{}", "application/json");
  ASSERT_TRUE(wrongMethod);
  EXPECT_EQ(wrongMethod->status, 404);
  EXPECT_EQ(d.state()["muted"], before["muted"]);
  EXPECT_EQ(d.state()["active"][0]["loop"], before["active"][0]["loop"]);
}

TEST(DevDaemon, LogsEveryRequestBeforeAnswering) {
  Daemon d({});
  ASSERT_GT(d.port(), 0);
  auto c = d.client();
  struct Step {
    std::string method, path, body;
    int status;
  };
  const Step steps[] = {
      {"GET", "/state", "", 200},
      {"POST", "/mute", R"({"muted":true})", 200},
      {"POST", "/loop", "not json", 400},
      {"GET", "/elsewhere", "", 404},
  };
  size_t n = 0;
  for (const Step& s : steps) {
    auto r = s.method == "GET" ? c.Get(s.path) : c.Post(s.path, s.body, "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, s.status);
    // The line is there as soon as the answer is: no waiting.
    auto lines = logLines(d.log());
    ASSERT_EQ(lines.size(), ++n);
    const json& l = lines.back();
    EXPECT_EQ(l["method"], s.method);
    EXPECT_EQ(l["path"], s.path);
    EXPECT_EQ(l["status"], s.status);
    EXPECT_TRUE(l["time"].is_string());
    if (s.body.empty())
      EXPECT_TRUE(l["body"].is_null());
    else if (s.status == 400)
      EXPECT_EQ(l["body"], s.body) << "unparsable bodies are logged as text";
    else
      EXPECT_EQ(l["body"], json::parse(s.body));
  }
}

TEST(DevDaemon, AppendsToAnExistingLog) {
  fs::path dir = tempDir();
  fs::path log = dir / "log.jsonl";
  std::ofstream(log) << "{\"earlier\":true}\n";
  {
    Daemon d({"--log", log.string()});  // the later --log wins
    ASSERT_GT(d.port(), 0);
    d.state();
    EXPECT_EQ(d.stop(), 0);
  }
  auto lines = logLines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["earlier"], true);
  EXPECT_EQ(lines[1]["path"], "/state");
  fs::remove_all(dir);
}

TEST(DevDaemon, ServesAScenarioAsGiven) {
  fs::path dir = tempDir();
  Daemon arr({"--scenario", writeScenario(dir, "arr.json", "[1, 2]").string()});
  ASSERT_GT(arr.port(), 0);
  auto r = arr.client().Get("/state");
  ASSERT_TRUE(r);
  EXPECT_EQ(json::parse(r->body), json::parse("[1,2]"));
  EXPECT_EQ(arr.post("/mute", R"({"muted":true})"), 409);

  Daemon muted({"--scenario", fs::path(OMBRU_DEVD_SCENARIOS "/muted.json").string()});
  ASSERT_GT(muted.port(), 0);
  EXPECT_EQ(muted.state()["muted"], true);
  fs::remove_all(dir);
}

TEST(DevDaemon, ServesEveryShippedScenario) {
  int count = 0;
  for (const auto& e : fs::directory_iterator(OMBRU_DEVD_SCENARIOS)) {
    if (e.path().extension() != ".json") continue;
    ++count;
    Daemon d({"--scenario", e.path().string()});
    ASSERT_GT(d.port(), 0) << e.path() << ": " << d.ready();
    auto r = d.client().Get("/state");
    ASSERT_TRUE(r) << e.path();
    EXPECT_EQ(withoutCountdowns(json::parse(r->body, nullptr, false)),
              withoutCountdowns(json::parse(slurp(e.path()), nullptr, false)))
        << e.path() << " is served as written";
  }
  EXPECT_GE(count, 4);
}

TEST(DevDaemon, RefusesABadCommandLineOrScenario) {
  fs::path dir = tempDir();
  Daemon badJson({"--scenario", writeScenario(dir, "bad.json", "{\"muted\": ").string()});
  EXPECT_EQ(badJson.waitExit(), 2);
  EXPECT_NE(badJson.ready().find("not valid JSON"), std::string::npos) << badJson.ready();
  Daemon missing({"--scenario", (dir / "absent.json").string()});
  EXPECT_EQ(missing.waitExit(), 2);
  Daemon badFlag({"--drip"});
  EXPECT_EQ(badFlag.waitExit(), 2);
  fs::remove_all(dir);
}

TEST(DevDaemon, StopsOnSigint) {
  Daemon d({});
  ASSERT_GT(d.port(), 0);
  EXPECT_EQ(d.stop(SIGINT), 0);
}

TEST(FailureFlags, SlowHoldsEveryAnswerBack) {
  Daemon d({"--slow", "400"});
  ASSERT_GT(d.port(), 0);
  auto impatient = d.client(100ms);
  auto r = impatient.Get("/state");
  EXPECT_FALSE(r);
  EXPECT_EQ(r.error(), httplib::Error::Read);
  auto missing = impatient.Get("/nothing");
  EXPECT_FALSE(missing) << "the delay covers every path";
  auto patient = d.client(5000ms);
  auto ok = patient.Get("/state");
  ASSERT_TRUE(ok);
  EXPECT_TRUE(json::parse(ok->body, nullptr, false).is_object());
}

TEST(FailureFlags, SilentNeverAnswersAndLetsGo) {
  Daemon d({"--silent"});
  ASSERT_GT(d.port(), 0);
  int idle = openFds(d.pid());
  auto c = d.client(300ms);
  auto r = c.Get("/state");
  EXPECT_FALSE(r);
  EXPECT_EQ(r.error(), httplib::Error::Read);
  auto p = c.Post("/mute", R"({"muted":true})", "application/json");
  EXPECT_FALSE(p);
  // The client gave up, so the daemon lets go of its connections.
  auto deadline = std::chrono::steady_clock::now() + kStopBound;
  while (openFds(d.pid()) > idle && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(openFds(d.pid()), idle);
  auto lines = logLines(d.log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0]["status"].is_null());
  EXPECT_EQ(lines[1]["body"], json({{"muted", true}}));

  // Stopping with a request held: a clean exit, and not one byte sent.
  int fd = connectTo(d.port());
  ASSERT_GE(fd, 0);
  sendAll(fd, kGetState);
  while (logLines(d.log()).size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(d.stop(), 0);
  char buf[64];
  EXPECT_LE(recv(fd, buf, sizeof buf, 0), 0);
  close(fd);
}

TEST(FailureFlags, GarbageIsNotJson) {
  Daemon d({"--garbage"});
  ASSERT_GT(d.port(), 0);
  auto r = d.client().Get("/state");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_FALSE(r->body.empty());
  EXPECT_FALSE(json::accept(r->body));
  EXPECT_EQ(d.post("/mute", R"({"muted":true})"), 200) << "commands still work";
}

TEST(FailureFlags, StatusKeepsTheJsonBody) {
  Daemon d({"--status", "503"});
  ASSERT_GT(d.port(), 0);
  auto r = d.client().Get("/state");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  json body = json::parse(r->body, nullptr, false);
  ASSERT_TRUE(body.is_object());
  EXPECT_EQ(body["bound"], "parser");
}

TEST(FailureFlags, DripSendsTheBodyByteByByte) {
  fs::path dir = tempDir();
  const std::string doc = R"({"muted":true})";
  Daemon d({"--drip", "15", "--scenario", writeScenario(dir, "s.json", doc).string()});
  ASSERT_GT(d.port(), 0);
  int fd = connectTo(d.port());
  ASSERT_GE(fd, 0);
  sendAll(fd, kGetState);
  std::string got;
  int reads = 0;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
    got.append(buf, static_cast<size_t>(n));
    ++reads;
  }
  close(fd);
  auto split = got.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos) << got;
  std::string body = got.substr(split + 4);
  EXPECT_NE(got.find("Content-Length: " + std::to_string(body.size())), std::string::npos) << got;
  EXPECT_EQ(json::parse(body, nullptr, false), json::parse(doc));
  // Headers come at once, then the bytes one by one; a whole answer would
  // arrive in one or two reads.
  EXPECT_GT(reads, 3);

  // A client that leaves mid-drip frees its connection.
  Daemon demo({"--drip", "20"});
  ASSERT_GT(demo.port(), 0);
  int idle = openFds(demo.pid());
  int leaving = connectTo(demo.port());
  ASSERT_GE(leaving, 0);
  sendAll(leaving, kGetState);
  ASSERT_GT(recv(leaving, buf, sizeof buf, 0), 0);
  close(leaving);
  auto deadline = std::chrono::steady_clock::now() + kStopBound;
  while (openFds(demo.pid()) > idle && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(openFds(demo.pid()), idle);

  // Stopping mid-drip ends the exchange early and the daemon cleanly.
  Daemon slow({"--drip", "1000"});
  ASSERT_GT(slow.port(), 0);
  int held = connectTo(slow.port());
  ASSERT_GE(held, 0);
  sendAll(held, kGetState);
  ASSERT_GT(recv(held, buf, sizeof buf, 0), 0);  // the headers
  EXPECT_EQ(slow.stop(), 0);
  close(held);
  fs::remove_all(dir);
}

}  // namespace
