// Feeds arbitrary bytes to the service's frame reader, as a caller or a
// service could send them over the socket: frames are read one after
// another until the bytes run out or turn bad, and each is answered as the
// service and the tool would. Nothing may crash, hang or read out of bounds.
#include <unistd.h>

#include <sys/socket.h>
#include <cstddef>
#include <cstdint>
#include <string>

#include "service_linux.hpp"

namespace {

void readAll(std::string_view bytes, size_t mostPayload) {
  while (!bytes.empty()) {
    const auto read = stt::decodeFrame(bytes, mostPayload);
    if (read.verdict != stt::FrameVerdict::complete) return;
    if (read.used == 0 || read.used > bytes.size()) __builtin_trap();
    (void)stt::replyToHello(read.frame, "identity", true);
    (void)stt::answerToHello(read.frame);
    (void)stt::parseRecognisePayload(read.frame.payload);
    bytes.remove_prefix(read.used);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  readAll(bytes, stt::kMostRequestBytes);
  readAll(bytes, stt::kMostReplyBytes);
  // The same bytes through the socket reader, the peer then gone: it must
  // end with a frame, bad bytes or the hang-up, never wait.
  int pair[2];
  if (size > 16384 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  (void)::write(pair[1], data, size);
  ::close(pair[1]);
  stt::FrameChannel channel(pair[0]);
  for (int i = 0; i < 64; ++i) {
    const auto got = channel.receive(std::chrono::steady_clock::now(), stt::kMostRequestBytes);
    if (got.outcome != stt::FrameChannel::Outcome::frame) break;
  }
  return 0;
}
