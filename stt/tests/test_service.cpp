// The recogniser service as the tests start it: a short idle time, and a
// model folder of the test's choosing. No caller of ombru-stt can reach
// these; the tool starts only the real service.
#include <cstdlib>
#include <string>

#include "engine_sphinx.hpp"
#include "prepared_dictionary.hpp"
#include "service_linux.hpp"

// ombru-stt-test-service <idle-ms> [<model-folder>]
int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::chrono::milliseconds idle(std::stol(argv[1]));
  const std::string folder = argc > 2 ? argv[2] : std::string(stt::kModelDirectory);
  std::_Exit(stt::runService(stt::modelIn(folder), stt::cacheDirectory(), idle));
}
