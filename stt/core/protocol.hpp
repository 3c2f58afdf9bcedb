// The recogniser service's protocol: framed messages over a stream socket,
// the audio passed beside a request as an open file descriptor. One caller's
// exchange: hello (the model the caller has on disk) answered by ready,
// busy, other-model or refused; then recognise (the wait, with the audio)
// answered by working now and then and at last by transcript or failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "constants.hpp"

namespace stt {

enum class FrameKind : uint8_t {
  hello = 1,        // payload: the caller's model identity
  recognise = 2,    // payload: the recognition wait, in ms, 32 bits
  ready = 10,       // a decoder is held for this caller
  busy = 11,        // every decoder is taken
  otherModel = 12,  // the service holds another model than the caller's
  refused = 13,     // another protocol version; the header says the service's
  working = 14,     // still decoding
  transcript = 15,  // payload: the words
  failure = 16,     // payload: the description of the failure
};

struct Frame {
  uint16_t version = kProtocolVersion;
  FrameKind kind = FrameKind::hello;
  std::string payload;
};

std::string encodeFrame(const Frame& frame);

enum class FrameVerdict { incomplete, bad, complete };

struct FrameRead {
  FrameVerdict verdict = FrameVerdict::incomplete;
  Frame frame;      // when complete
  size_t used = 0;  // bytes of the input the frame took, when complete
};

// Reads the frame at the start of `bytes`. A wrong magic, a length over
// `mostPayload`, or, in this protocol's version, a kind it does not know or
// a payload the kind does not allow, is bad at once, so that a reader never
// waits for bytes that cannot make a frame. A frame of another version is
// complete whatever its kind, so that the version can be answered.
FrameRead decodeFrame(std::string_view bytes, size_t mostPayload);

std::string recognisePayload(std::chrono::milliseconds wait);
// Absent unless exactly a wait of at most kMostRecognitionWait.
std::optional<std::chrono::milliseconds> parseRecognisePayload(std::string_view payload);

// What the tool does with the service's answer to its hello.
enum class HelloAnswer { useService, decodeHere };
HelloAnswer answerToHello(const Frame& reply);

// What the service answers a hello, and whether it then leaves the socket
// to a newer service: a caller of a newer version, or one whose model on
// disk differs from the one loaded, means an upgrade has happened.
struct HelloReply {
  Frame reply;
  bool retire = false;
};
HelloReply replyToHello(const Frame& hello, std::string_view identity, bool decoderHeld);

}  // namespace stt
