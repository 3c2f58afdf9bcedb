// ombru-stt against the engine's floor (each file decoded whole, in one call,
// with the engine's defaults), side by side in one run on the accuracy
// corpus: word error rate, wall time, real-time factor, CPU time and peak
// memory, over the short clips and over the long recording. Each file is one
// process on each side, as a caller runs it, so a short clip's time is mostly
// the model's load. Fails when ombru-stt's word error rate on the short
// clips is more than a point over the floor's, or its rate on the long
// recording more than five points over its own on the short clips.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scratch_dir.hpp"
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

// One program over a set of files, one process per file.
Totals measure(const char* program, const std::vector<std::string>& stems, const fs::path& dir) {
  Totals t;
  const auto out = (dir / "out.txt").string();
  for (const auto& stem : stems) {
    const auto m = run({program, stem + ".wav"}, out);
    if (m.status != 0) t.failed = true;
    const auto reference = wordsOf(readFile(stem + ".txt"));
    t.audio += audioSeconds(stem + ".wav");
    t.wall += m.seconds;
    t.cpu += m.cpuSeconds;
    t.peakKiB = std::max(t.peakKiB, m.peakKiB);
    t.words += reference.size();
    t.errors += wordErrors(reference, wordsOf(readFile(out)));
  }
  return t;
}

double rate(const Totals& t) {
  return 100.0 * static_cast<double>(t.errors) / static_cast<double>(t.words);
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / "ombru-stt-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string corpus = (dir / "corpus").string();
  if (run({"sh", OMBRU_STT_CORPUS_SCRIPT, OMBRU_STT_SENTENCES, corpus}).status != 0) {
    std::fprintf(stderr, "could not make the corpus in %s\n", corpus.c_str());
    return 1;
  }
  const std::vector<std::pair<std::string, std::vector<std::string>>> sets = {
      {"short", corpusClips(corpus)}, {"long", {corpus + "/long"}}};

  bool ok = true;
  double shortRate = 0;
  std::printf("%-5s %-9s %6s %7s %8s %7s %8s %6s %10s\n", "set", "program", "files", "audio s",
              "WER %", "wall s", "RTF", "cpu s", "peak KiB");
  for (const auto& [name, stems] : sets) {
    const Totals ours = measure(OMBRU_STT_BINARY, stems, dir);
    const Totals floor = measure(OMBRU_STT_FLOOR, stems, dir);
    for (const auto& [program, t] : {std::pair{"ombru-stt", ours}, std::pair{"floor", floor}}) {
      std::printf("%-5s %-9s %6zu %7.1f %8.2f %7.2f %8.3f %6.2f %10ld%s\n", name.c_str(), program,
                  stems.size(), t.audio, rate(t), t.wall, t.wall / t.audio, t.cpu, t.peakKiB,
                  t.failed ? "  (a run failed)" : "");
      if (t.failed) ok = false;
    }
    if (name == "short") {
      shortRate = rate(ours);
      if (rate(ours) > rate(floor) + 1.0) ok = false;
    } else if (rate(ours) > shortRate + 5.0) {
      ok = false;
    }
  }
  fs::remove_all(dir);
  std::printf("%s\n", ok ? "ombru-stt within its word error bounds"
                         : "ombru-stt outside its word error bounds");
  return ok ? 0 : 1;
}
