// ombru-stt-service: the per-user recogniser that ombru-stt starts and asks.
// It keeps the model loaded and leaves when idle or on SIGTERM.
#include <cstdlib>

#include "engine_sphinx.hpp"
#include "prepared_dictionary.hpp"
#include "service_linux.hpp"

int main() {
  // Leaves without freeing the decoders one by one, as the tool does.
  std::_Exit(stt::runService(stt::modelIn(stt::kModelDirectory), stt::cacheDirectory(),
                             stt::kServiceIdle));
}
