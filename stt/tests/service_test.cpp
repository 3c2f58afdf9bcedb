// ombru-stt with its recogniser service, the real engine on both sides: a
// transcript from the service is the one the tool makes in process, byte
// for byte, whatever the service does or fails to do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

#include "protocol.hpp"
#include "run_program.hpp"
#include "scratch_dir.hpp"
#include "service_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

class SttService : public ScratchDirTest {
 protected:
  SttService() : ScratchDirTest("service") {}
  void SetUp() override {
    ScratchDirTest::SetUp();
    home_.emplace(dir_ / "run");
  }
  void TearDown() override {
    home_.reset();
    ScratchDirTest::TearDown();
  }

  fs::path speak(const std::string& name, const std::string& sentence) {
    const fs::path path = dir_ / name;
    const auto ran =
        runProgram({"espeak-ng", "-v", "en-us+f2", "-w", path.string(), sentence}, dir_ / "speak");
    EXPECT_EQ(ran.status, 0) << ran.err;
    return path;
  }
  fs::path command() { return speak("command.wav", "please send a message to the team"); }
  // About six seconds: one segment, long enough to be caught mid-decode.
  fs::path longer() {
    return speak("longer.wav",
                 "the stock market fell sharply in new york yesterday and the meeting about the "
                 "budget was moved to tomorrow morning");
  }

  // A run of the tool, and the share of the machine other work took
  // meanwhile (the service's processor time counts as the run's own).
  struct Judged : Ran {
    double others = 0;
    std::chrono::steady_clock::duration took{};
  };
  struct Mark {
    std::chrono::steady_clock::time_point started;
    std::optional<MachineTime> machine;
    pid_t service = 0;
    double serviceCpu = 0;
  };
  Mark mark() const {
    const pid_t service = home_->lockHolder();
    return {std::chrono::steady_clock::now(), machineTime(), service,
            service != 0 ? ServiceHome::cpuSeconds(service) : 0};
  }
  Judged judge(Ran ran, const Mark& since) const {
    const pid_t service = home_->lockHolder();
    double own = ran.cpuSeconds;
    if (service != 0)
      own += ServiceHome::cpuSeconds(service) - (service == since.service ? since.serviceCpu : 0);
    Judged judged{std::move(ran)};
    judged.others = othersShare(since.machine, machineTime(), own);
    judged.took = std::chrono::steady_clock::now() - since.started;
    return judged;
  }

  Judged inProcess(const fs::path& audio) {
    const auto since = mark();
    return judge(runProgram({OMBRU_STT_BINARY, audio.string()}, dir_ / "here"), since);
  }
  Judged viaService(const fs::path& audio) {
    const auto since = mark();
    return judge(home_->run({OMBRU_STT_BINARY, audio.string()}, dir_ / "there"), since);
  }
  // Whether a run ended as a time-out does: exit 0, an empty line, nothing
  // on standard error (every clip here holds speech), not before the wait
  // was over. Fair only when other work took a good share of the machine
  // meanwhile; the run then has nothing to compare.
  static bool timedOut(const Judged& run) {
    if (run.status != 0 || run.out != "\n" || !run.err.empty()) return false;
    EXPECT_GE(run.took, stt::kRecognitionWait) << "an empty transcript before the wait was over";
    EXPECT_GE(run.others, kBusyMachine)
        << "nothing came back within the wait on a machine mostly free";
    return true;
  }
  static void expectSame(const Judged& got, const Judged& want) {
    if (timedOut(got) || timedOut(want)) return;
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.err, want.err);
  }

  // Whether `pid` has `file` open, as the service has the audio it decodes.
  static bool holds(pid_t pid, const fs::path& file) {
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
      std::error_code linkError;
      if (fs::read_symlink(entry.path(), linkError) == file) return true;
    }
    return false;
  }

  std::optional<ServiceHome> home_;
};

TEST_F(SttService, TheFirstCallStartsTheServiceAndLaterOnesReuseIt) {
  const auto audio = command();
  const auto want = inProcess(audio);
  ASSERT_EQ(want.status, 0);
  expectSame(viaService(audio), want);
  const pid_t pid = home_->pid();
  ASSERT_NE(pid, 0);
  struct stat info {};
  ASSERT_EQ(::stat(home_->folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(home_->socket().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  expectSame(viaService(audio), want);
  EXPECT_EQ(home_->pid(), pid);

  // Failures read the same: a file that is no audio, one that is missing.
  const auto junk = dir_ / "junk.wav";
  std::ofstream(junk) << std::string(4000, '\x5a');
  expectSame(viaService(junk), inProcess(junk));
  expectSame(viaService(dir_ / "absent.wav"), inProcess(dir_ / "absent.wav"));

  // Every socket the service has is a Unix one: it listens nowhere else.
  std::ifstream unixTable("/proc/net/unix");
  const std::string table((std::istreambuf_iterator<char>(unixTable)), {});
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code error;
    const std::string link = fs::read_symlink(entry.path(), error).string();
    if (!link.starts_with("socket:[")) continue;
    const std::string inode = link.substr(8, link.size() - 9);
    EXPECT_NE(table.find(" " + inode + " "), std::string::npos) << link << " is not a Unix socket";
  }
}

// Callers that stop mid-frame, send garbage or a huge length, or pass a
// pipe for the audio: each is hung up on, and the service serves the next
// caller as before.
TEST_F(SttService, BrokenRequestsAreHungUpOnAndTheServiceGoesOn) {
  const auto audio = command();
  const auto want = inProcess(audio);
  expectSame(viaService(audio), want);
  const pid_t pid = home_->pid();
  ASSERT_NE(pid, 0);
  const std::string hello =
      stt::encodeFrame(stt::Frame{stt::kProtocolVersion, stt::FrameKind::hello, "x"});
  for (const std::string& request : {hello.substr(0, 9), std::string("GET / HTTP/1.1\r\n\r\n"),
                                     hello.substr(0, 7) + std::string("\xff\xff\xff\x7f", 4)}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, home_->socket().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char byte;
    EXPECT_LE(::read(fd, &byte, 1), 0);  // blocks until the service hangs up
    ::close(fd);
  }
  // A pipe whose writer never ends, passed in place of a file.
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const auto caller = home_->ask("/proc/self/fd/" + std::to_string(pipe[0]));
  ASSERT_TRUE(caller);
  EXPECT_EQ(caller->receive(std::chrono::steady_clock::now() + 20s, stt::kMostReplyBytes).outcome,
            stt::FrameChannel::Outcome::closed);
  ::close(pipe[0]);
  ::close(pipe[1]);
  expectSame(viaService(audio), want);
  EXPECT_EQ(home_->pid(), pid);
}

TEST_F(SttService, CallersAtOnceAreAllAnswered) {
  const auto audio = command();
  const auto want = inProcess(audio);
  // From cold: they race to start it, and one more than it has decoders.
  ServiceHome::Using here(*home_);
  const auto since = mark();
  Running a({OMBRU_STT_BINARY, audio.string()}, dir_ / "a");
  Running b({OMBRU_STT_BINARY, audio.string()}, dir_ / "b");
  Running c({OMBRU_STT_BINARY, audio.string()}, dir_ / "c");
  expectSame(judge(a.wait(), since), want);
  expectSame(judge(b.wait(), since), want);
  expectSame(judge(c.wait(), since), want);
}

// A caller that hangs up mid-decode stops it within a block of frames, not
// at the end of the segments in hand: its decoders go to the next caller
// before the service has done a fraction of one segment's work.
TEST_F(SttService, AHangUpStopsTheDecodeAtOnceForTheNextCaller) {
  const auto audio = command();
  const auto want = inProcess(audio);
  expectSame(viaService(audio), want);  // started and warm
  const pid_t pid = home_->pid();
  ASSERT_NE(pid, 0);
  // Fifty seconds with no pause: 20 s segments, on both decoders at once,
  // each some seconds of processor time.
  std::string words;
  for (int i = 0; i < 16; ++i) words += "the stock market fell sharply in new york yesterday and ";
  const auto unbroken = speak("unbroken.wav", words);
  double hungUp = 0;
  {
    const auto first = home_->ask(unbroken);
    ASSERT_TRUE(first);
    for (int beats = 0; beats < 2; ++beats) {  // its decoders loaded and busy
      const auto got = first->receive(std::chrono::steady_clock::now() + 20s, stt::kMostReplyBytes);
      ASSERT_EQ(got.frame.kind, stt::FrameKind::working);
    }
    hungUp = ServiceHome::cpuSeconds(pid);
  }
  std::unique_ptr<stt::FrameChannel> next;
  for (int i = 0; i < 2000 && !(next = home_->ask(audio)); ++i) std::this_thread::sleep_for(10ms);
  const double spent = ServiceHome::cpuSeconds(pid) - hungUp;
  ASSERT_TRUE(next) << "no decoder came free after the hang-up";
  stt::FrameChannel::Received got;
  do {
    got = next->receive(std::chrono::steady_clock::now() + 20s, stt::kMostReplyBytes);
  } while (got.outcome == stt::FrameChannel::Outcome::frame &&
           got.frame.kind == stt::FrameKind::working);
  EXPECT_EQ(got.frame.kind, stt::FrameKind::transcript);
  if (!timedOut(want)) {
    EXPECT_EQ(got.frame.payload + "\n", want.out);
  }
  // A 20 s segment takes seconds of the fast search; a block, hundredths.
  EXPECT_LT(spent, 1.0) << "the decode went on after the hang-up";
}

TEST_F(SttService, ItLeavesWhenIdle) {
  const auto audio = command();
  const auto want = inProcess(audio);
  ServiceHome::Using here(*home_);
  Running service({OMBRU_STT_TEST_SERVICE, "1500"}, dir_ / "service");
  pid_t pid = 0;
  for (int i = 0; i < 500 && pid == 0; ++i, std::this_thread::sleep_for(20ms)) pid = home_->pid();
  ASSERT_NE(pid, 0);
  expectSame(viaService(audio), want);
  EXPECT_EQ(home_->pid(), pid);  // the tool used it and started none
  EXPECT_EQ(service.wait().status, 0);
  EXPECT_FALSE(fs::exists(home_->socket()));
}

// A service that dies or freezes while it decodes.
class SttServiceFault : public SttService, public ::testing::WithParamInterface<int> {};

TEST_P(SttServiceFault, MidDecodeTheToolDecodesByItself) {
  const auto audio = longer();
  const auto want = inProcess(audio);
  if (timedOut(want)) GTEST_SKIP() << "the decode in process outlasted the wait";
  expectSame(viaService(command()), inProcess(command()));  // started and warm
  const pid_t pid = home_->pid();
  ASSERT_NE(pid, 0);
  ServiceHome::Using here(*home_);
  const auto since = mark();
  Running tool({OMBRU_STT_BINARY, audio.string()}, dir_ / "tool");
  bool decoding = false;
  for (int i = 0; i < 2000 && !(decoding = holds(pid, audio)); ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(decoding);
  ::kill(pid, GetParam());
  expectSame(judge(tool.wait(), since), want);
  ::kill(pid, SIGKILL);
  ASSERT_TRUE(ServiceHome::waitGone(pid, 10s));
}

INSTANTIATE_TEST_SUITE_P(Signals, SttServiceFault, ::testing::Values(SIGKILL, SIGSTOP),
                         [](const auto& info) {
                           return std::string(info.param == SIGKILL ? "Killed" : "Frozen");
                         });

// What answers at the socket is not a service of this version.
class SttFakeService : public SttService, public ::testing::WithParamInterface<std::string> {};

TEST_P(SttFakeService, TheToolDecodesByItself) {
  const auto audio = command();
  const auto want = inProcess(audio);
  fs::create_directories(home_->folder());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, home_->socket().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  std::thread fake([listener, reply = GetParam()] {
    const int fd = ::accept(listener, nullptr, nullptr);
    char bytes[512];
    (void)::read(fd, bytes, sizeof bytes);
    (void)::write(fd, reply.data(), reply.size());
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
    ::close(fd);
  });
  expectSame(viaService(audio), want);
  fake.join();
  ::close(listener);
}

std::string frame(uint16_t version, stt::FrameKind kind, std::string payload = {}) {
  return stt::encodeFrame(stt::Frame{version, kind, std::move(payload)});
}

std::string replyName(const ::testing::TestParamInfo<std::string>& info) {
  static const char* const kNames[] = {"Garbage", "NewerVersion", "Refused", "Busy", "HugeLength"};
  return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SttFakeService,
    ::testing::Values(std::string("HTTP/1.1 400 Bad Request\r\n\r\n"),
                      frame(stt::kProtocolVersion + 1, stt::FrameKind::ready),
                      frame(stt::kProtocolVersion, stt::FrameKind::refused),
                      frame(stt::kProtocolVersion, stt::FrameKind::busy),
                      frame(stt::kProtocolVersion, stt::FrameKind::transcript, "x").substr(0, 7) +
                          std::string("\xff\xff\xff\x7f", 4)),
    replyName);

TEST_F(SttService, AStaleSocketIsReplaced) {
  fs::create_directories(home_->folder());
  const int left = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, home_->socket().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(left, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(left);  // the file stays, and nothing listens
  const auto audio = command();
  expectSame(viaService(audio), inProcess(audio));
  EXPECT_NE(home_->pid(), 0);
}

TEST_F(SttService, AServiceWithAnotherModelGivesWay) {
  // The same model but for a copied dictionary: files of another identity.
  const fs::path model = dir_ / "model";
  const fs::path real = stt::kModelDirectory;
  fs::create_directories(model);
  fs::create_symlink(real / stt::kAcousticModel, model / stt::kAcousticModel);
  fs::create_symlink(real / stt::kLanguageModel, model / stt::kLanguageModel);
  fs::copy_file(real / stt::kDictionary, model / stt::kDictionary);
  const auto audio = command();
  const auto want = inProcess(audio);
  ServiceHome::Using here(*home_);
  Running service({OMBRU_STT_TEST_SERVICE, "60000", model.string()}, dir_ / "service");
  pid_t pid = 0;
  for (int i = 0; i < 500 && pid == 0; ++i, std::this_thread::sleep_for(20ms)) pid = home_->pid();
  ASSERT_NE(pid, 0);
  expectSame(viaService(audio), want);
  EXPECT_EQ(service.wait().status, 0);  // it left for a service of the model on disk
}

// As `nobody`: whether a connection to the service gets an answer to a
// hello, and what the tool says of a file only root may read.
TEST_F(SttService, AnotherUserCanNeitherConnectNorHaveAFileRead) {
  const auto audio = command();
  expectSame(viaService(audio), inProcess(audio));
  ASSERT_NE(home_->pid(), 0);
  auto answeredAsNobody = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, home_->socket().c_str(), sizeof address.sun_path - 1);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(0);
      const std::string hello =
          stt::encodeFrame(stt::Frame{stt::kProtocolVersion, stt::FrameKind::hello, "x"});
      (void)::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);  // it may have hung up
      char byte;
      ::_exit(::read(fd, &byte, 1) > 0 ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
  };
  EXPECT_EQ(answeredAsNobody(), 0);
  // Even with the folder and socket opened to all, the service hangs up.
  fs::permissions(dir_, fs::perms::all);
  fs::permissions(home_->runtime(), fs::perms::all);
  fs::permissions(home_->folder(), fs::perms::all);
  fs::permissions(home_->socket(), fs::perms::all);
  EXPECT_EQ(answeredAsNobody(), 0);
  fs::permissions(home_->folder(), fs::perms::owner_all);

  const auto secret = dir_ / "secret.wav";
  fs::copy_file(audio, secret);
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  const auto ran = home_->run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               OMBRU_STT_BINARY, secret.string()},
                              dir_ / "nobody");
  EXPECT_EQ(ran.status, 7);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "recognition-failed: System error : Permission denied.\n");
}

}  // namespace
