// Feeds arbitrary bytes to the audio reader as a file: whatever libsndfile
// makes of them, reading must end without a crash, a hang or a leak.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "audio_sndfile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char path[] = "/tmp/ombru-stt-fuzz-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 0;
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fd);
  std::string error;
  if (auto reader = stt::openAudio(path, error)) {
    // Bounded, so a header that claims hours of audio cannot stall the run.
    size_t samples = 0;
    for (auto block = reader->next(); !block.empty() && samples < 16000 * 600;
         block = reader->next()) {
      samples += block.size();
    }
  }
  unlink(path);
  return 0;
}
