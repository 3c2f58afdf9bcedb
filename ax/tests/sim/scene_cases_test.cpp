// Runs ombru-ax-sim on each case under cases/: a scene, the command line, and
// the expected standard output, standard error, exit status and trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// Expected trace entries are lines, or {"times": n, "lines": [...]} for a
// block that repeats.
std::vector<std::string> expand(const json& trace) {
  std::vector<std::string> out;
  for (const json& e : trace) {
    if (e.is_string()) {
      out.push_back(e.get<std::string>());
    } else {
      const std::vector<std::string> block = expand(e.at("lines"));
      for (int i = 0; i < e.at("times").get<int>(); ++i)
        out.insert(out.end(), block.begin(), block.end());
    }
  }
  return out;
}

struct Result {
  std::string out;
  std::string err;
  int status = -1000;  // exit status, or minus the signal number
  std::vector<std::string> trace;
};

Result runSim(const fs::path& scene, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env, const fs::path& dir) {
  const fs::path outPath = dir / "stdout";
  const fs::path errPath = dir / "stderr";
  const fs::path tracePath = dir / "trace";
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv = *e;
    const auto eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  vars["OMBRU_AX_SCENE"] = scene.string();
  vars["OMBRU_AX_TRACE"] = tracePath.string();
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStrings = {AX_SIM_PROGRAM};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = 0;
  Result r;
  const int rc = posix_spawn(&pid, AX_SIM_PROGRAM, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return r;
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) r.status = -WTERMSIG(wstatus);
  r.out = slurp(outPath);
  r.err = slurp(errPath);
  r.trace = lines(slurp(tracePath));
  return r;
}

std::vector<std::string> caseNames() {
  std::vector<std::string> names = {
#include "scene_cases.inc"
  };
  std::sort(names.begin(), names.end());
  return names;
}

class SceneCase : public ::testing::TestWithParam<std::string> {};

TEST_P(SceneCase, MatchesExpectedRun) {
  const fs::path root(AX_SIM_CASES);
  const json c = json::parse(slurp(root / "cases" / (GetParam() + ".json")));
  const fs::path dir =
      fs::temp_directory_path() / ("ax-sim-case-" + GetParam() + "-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::path scene;
  if (c.at("scene").is_string()) {
    scene = root / "scenes" / c.at("scene").get<std::string>();
  } else {
    scene = dir / "scene.json";
    std::ofstream(scene) << c.at("scene").dump();
  }
  std::map<std::string, std::string> env;
  if (c.contains("env")) env = c.at("env").get<std::map<std::string, std::string>>();
  const Result r = runSim(scene, c.at("args").get<std::vector<std::string>>(), env, dir);
  fs::remove_all(dir);

  EXPECT_EQ(r.out, c.value("stdout", ""));
  EXPECT_EQ(r.err, c.value("stderr", ""));
  EXPECT_EQ(r.status, c.at("status").get<int>());
  if (c.contains("trace")) {
    const std::vector<std::string> want = expand(c.at("trace"));
    EXPECT_EQ(r.trace, want);
    if (r.trace != want) {
      for (std::size_t i = 0; i < std::max(r.trace.size(), want.size()); ++i) {
        const std::string got = i < r.trace.size() ? r.trace[i] : "(none)";
        const std::string exp = i < want.size() ? want[i] : "(none)";
        if (got != exp) {
          ADD_FAILURE() << "first trace difference at line " << i + 1 << ": got \"" << got
                        << "\", want \"" << exp << "\"";
          break;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SceneCase, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string n = info.param;
                           for (char& ch : n) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return n;
                         });

}  // namespace
