// ombru-stt against the engine's floor (each file decoded whole, in one call,
// with the engine's defaults), side by side in one run: a spoken command run
// again and again, then real recordings, the synthetic corpus's short clips
// and its long recording. Word error rate, wall time, real-time factor, CPU
// time and peak memory. Each file is one process on each side, as a caller
// runs it, ours and the floor's taking turns, so that other work on the
// machine weighs on both alike. Fails when ombru-stt's word error rate is
// over the floor's on real speech or more than a point over it on the short
// clips, or its rate on the long recording more than five points over its
// own on the short clips.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.hpp"
#include "service_support.hpp"
#include "word_errors.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Measure {
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;
  int status = -1;
};

// Runs a program to its end; its standard output goes to `out`.
Measure run(std::vector<std::string> argv, const std::string& out = "/dev/null") {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Measure m;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKiB = usage.ru_maxrss;
    m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return m;
}

// Seconds of audio in a corpus file (16 kHz mono 16-bit, a 44-byte header).
double audioSeconds(const std::string& wav) {
  return static_cast<double>(fs::file_size(wav) - 44) / 32000.0;
}

struct Totals {
  double audio = 0, wall = 0, cpu = 0;
  long peakKiB = 0;
  size_t words = 0, errors = 0;
  bool failed = false;
};

void add(Totals& t, const Measure& m, const std::string& stem, const std::string& out) {
  if (m.status != 0) t.failed = true;
  const auto reference = wordsOf(readFile(stem + ".txt"));
  t.audio += audioSeconds(stem + ".wav");
  t.wall += m.seconds;
  t.cpu += m.cpuSeconds;
  t.peakKiB = std::max(t.peakKiB, m.peakKiB);
  t.words += reference.size();
  t.errors += wordErrors(reference, wordsOf(readFile(out)));
}

// Both programs over a set of files, one process per file, taking turns.
std::pair<Totals, Totals> measure(const std::vector<std::string>& stems, const fs::path& dir) {
  Totals ours, floor;
  const auto out = (dir / "out.txt").string();
  for (const auto& stem : stems) {
    add(ours, run({OMBRU_STT_BINARY, stem + ".wav"}, out), stem, out);
    add(floor, run({OMBRU_STT_FLOOR, stem + ".wav"}, out), stem, out);
  }
  return {ours, floor};
}

double rate(const Totals& t) {
  return 100.0 * static_cast<double>(t.errors) / static_cast<double>(t.words);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string loadAverage() {
  std::string one;
  std::ifstream("/proc/loadavg") >> one;
  return one;
}

constexpr int kCommandRuns = 11;

// Processor seconds a process has had, user and system.
double processorSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of a process, KiB; 0 when it cannot be read.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:" && status >> value) return value;
  }
  return 0;
}

// The command through the recogniser service, warm and cold, against the
// tool in process, the floor and the engine's decode alone in a decoder
// already loaded (the floor decoding the file six times less once, over
// five); then the long recording through the service. Interleaved rounds.
void benchService(const std::string& command, const std::string& longStem, const fs::path& dir) {
  ServiceHome home(dir / "run");
  const std::string wav = command + ".wav";
  // Wall and processor seconds; the warm run's processor time counts the
  // service's share too.
  std::vector<double> wall[5], cpu[5];
  enum { kHere, kCold, kWarm, kFloor, kDecodeOnly };
  std::vector<std::string> six(6, wav);
  six.insert(six.begin(), OMBRU_STT_FLOOR);
  auto note = [&](int which, double seconds, double cpuSeconds) {
    wall[which].push_back(seconds);
    cpu[which].push_back(cpuSeconds);
  };
  for (int i = 0; i < kCommandRuns; ++i) {
    const auto here = run({OMBRU_STT_BINARY, wav});
    note(kHere, here.seconds, here.cpuSeconds);
    {
      ServiceHome::Using using_(home);
      home.stop();
      const auto cold = run({OMBRU_STT_BINARY, wav});
      const pid_t pid = home.pid();
      const double before = processorSeconds(pid);
      const auto warm = run({OMBRU_STT_BINARY, wav});
      note(kCold, cold.seconds, cold.cpuSeconds);
      note(kWarm, warm.seconds, warm.cpuSeconds + processorSeconds(pid) - before);
    }
    const auto once = run({OMBRU_STT_FLOOR, wav});
    const auto many = run(six);
    note(kFloor, once.seconds, once.cpuSeconds);
    note(kDecodeOnly, (many.seconds - once.seconds) / 5, (many.cpuSeconds - once.cpuSeconds) / 5);
  }
  std::printf("command through the service, %d rounds, medians, wall s / cpu s:\n", kCommandRuns);
  const char* names[] = {"in process", "cold", "warm", "floor", "decode alone"};
  for (int i = 0; i < 5; ++i)
    std::printf("  %-12s %6.3f %6.3f\n", names[i], median(wall[i]), median(cpu[i]));
  std::printf(
      "  cold over in process %.2f; warm over the floor %.2f, over decode alone %.2f "
      "(cpu %.2f, %.2f)\n",
      median(wall[kCold]) / median(wall[kHere]), median(wall[kWarm]) / median(wall[kFloor]),
      median(wall[kWarm]) / median(wall[kDecodeOnly]), median(cpu[kWarm]) / median(cpu[kFloor]),
      median(cpu[kWarm]) / median(cpu[kDecodeOnly]));
  const pid_t pid = home.pid();
  std::printf("  service resident, one decoder: %ld KiB\n", residentKiB(pid));
  const auto out = (dir / "long-service.txt").string();
  const auto outHere = (dir / "long-here.txt").string();
  Measure inService;
  {
    ServiceHome::Using using_(home);
    inService = run({OMBRU_STT_BINARY, longStem + ".wav"}, out);
  }
  const auto inProcess = run({OMBRU_STT_BINARY, longStem + ".wav"}, outHere);
  const double audio = audioSeconds(longStem + ".wav");
  std::printf("long %.1f s: service %.2f s (RTF %.3f), in process %.2f s (RTF %.3f), %s\n", audio,
              inService.seconds, inService.seconds / audio, inProcess.seconds,
              inProcess.seconds / audio,
              readFile(out) == readFile(outHere) ? "same transcript" : "transcripts differ");
  std::printf("  service resident, two decoders: %ld KiB\n", residentKiB(pid));

  // A caller of the long recording hangs up once both decoders are busy;
  // how long until the next caller is given a decoder, and the service's
  // processor time meanwhile.
  std::vector<double> freeWall, freeCpu;
  for (int i = 0; i < kCommandRuns; ++i) {
    double cpuAtHangUp = 0;
    std::chrono::steady_clock::time_point hungUp;
    {
      const auto caller = home.ask(longStem + ".wav");
      if (!caller) continue;
      for (int beats = 0; beats < 4; ++beats)
        (void)caller->receive(std::chrono::steady_clock::now() + std::chrono::seconds(20),
                              stt::kMostReplyBytes);
      cpuAtHangUp = processorSeconds(pid);
      hungUp = std::chrono::steady_clock::now();
    }
    std::unique_ptr<stt::FrameChannel> next;
    while (!(next = home.ask(wav))) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    freeWall.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - hungUp).count());
    freeCpu.push_back(processorSeconds(pid) - cpuAtHangUp);
    while (next->receive(std::chrono::steady_clock::now() + std::chrono::seconds(20),
                         stt::kMostReplyBytes)
               .frame.kind == stt::FrameKind::working) {
    }
  }
  std::printf(
      "  from a hang-up mid-decode to a decoder for the next caller, median of %zu: "
      "%.3f s wall, %.3f s of the service's cpu\n",
      freeWall.size(), median(freeWall), median(freeCpu));
}

}  // namespace

// With "service", only the recogniser service is measured.
int main(int argc, char** argv) {
  const bool serviceOnly = argc > 1 && std::string(argv[1]) == "service";
  const fs::path dir = fs::temp_directory_path() / "ombru-stt-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  // A cache of the bench's own; one run first prepares the dictionary, as
  // the first run after installing does.
  setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
  // In process unless a run is given the service's runtime folder.
  unsetenv("XDG_RUNTIME_DIR");
  const std::string corpus = (dir / "corpus").string(), real = (dir / "real").string();
  if (run({"sh", OMBRU_STT_CORPUS_SCRIPT, OMBRU_STT_SENTENCES, corpus}).status != 0 ||
      run({"sh", OMBRU_STT_REAL_SPEECH_SCRIPT, real}).status != 0) {
    std::fprintf(stderr, "could not make the corpora in %s\n", dir.c_str());
    return 1;
  }
  const std::string command = real + "/real-06";  // "go forward ten meters", 2.8 s
  (void)run({OMBRU_STT_BINARY, command + ".wav"});

  std::printf("load average at the start: %s\n", loadAverage().c_str());
  if (serviceOnly) {
    benchService(command, corpus + "/long", dir);
    std::printf("load average at the end: %s\n", loadAverage().c_str());
    fs::remove_all(dir);
    return 0;
  }
  std::vector<double> wall[2], cpu[2];
  long peak[2] = {0, 0};
  for (int i = 0; i < kCommandRuns; ++i) {
    int side = 0;
    for (const char* program : {OMBRU_STT_BINARY, OMBRU_STT_FLOOR}) {
      const auto m = run({program, command + ".wav"});
      wall[side].push_back(m.seconds);
      cpu[side].push_back(m.cpuSeconds);
      peak[side] = std::max(peak[side], m.peakKiB);
      ++side;
    }
  }
  std::printf("command %.1f s, %d runs each, taking turns: median wall, median cpu, peak KiB\n",
              audioSeconds(command + ".wav"), kCommandRuns);
  std::printf("  ombru-stt %6.3f s %6.3f s %8ld\n", median(wall[0]), median(cpu[0]), peak[0]);
  std::printf("  floor     %6.3f s %6.3f s %8ld\n", median(wall[1]), median(cpu[1]), peak[1]);
  std::printf("  ombru-stt over the floor: wall %.2f, cpu %.2f\n",
              median(wall[0]) / median(wall[1]), median(cpu[0]) / median(cpu[1]));

  const std::vector<std::pair<std::string, std::vector<std::string>>> sets = {
      {"real", corpusClips(real, "real")},
      {"short", corpusClips(corpus)},
      {"long", {corpus + "/long"}}};
  bool ok = true;
  double shortRate = 0;
  std::printf("%-5s %-9s %6s %7s %8s %7s %8s %6s %10s\n", "set", "program", "files", "audio s",
              "WER %", "wall s", "RTF", "cpu s", "peak KiB");
  for (const auto& [name, stems] : sets) {
    const auto [ours, floor] = measure(stems, dir);
    for (const auto& [program, t] : {std::pair{"ombru-stt", ours}, std::pair{"floor", floor}}) {
      std::printf("%-5s %-9s %6zu %7.1f %8.2f %7.2f %8.3f %6.2f %10ld%s\n", name.c_str(), program,
                  stems.size(), t.audio, rate(t), t.wall, t.wall / t.audio, t.cpu, t.peakKiB,
                  t.failed ? "  (a run failed)" : "");
      if (t.failed) ok = false;
    }
    if (name == "real") {
      if (ours.errors > floor.errors) ok = false;
    } else if (name == "short") {
      shortRate = rate(ours);
      if (rate(ours) > rate(floor) + 1.0) ok = false;
    } else if (rate(ours) > shortRate + 5.0) {
      ok = false;
    }
  }
  benchService(command, corpus + "/long", dir);
  std::printf("load average at the end: %s\n", loadAverage().c_str());
  fs::remove_all(dir);
  std::printf("%s\n", ok ? "ombru-stt within its word error bounds"
                         : "ombru-stt outside its word error bounds");
  return ok ? 0 : 1;
}
