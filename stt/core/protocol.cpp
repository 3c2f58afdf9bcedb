#include "protocol.hpp"

#include <algorithm>

namespace stt {
namespace {

constexpr size_t kMagicBytes = kFrameMagic.size();
constexpr size_t kHeaderBytes = kMagicBytes + 2 + 1 + 4;
constexpr size_t kWaitBytes = 4;

void putLittle(std::string& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t getLittle(std::string_view in, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i)
    value |= static_cast<uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return value;
}

// Whether this version knows the kind, and the payload's length fits it.
bool fits(FrameKind kind, size_t length) {
  switch (kind) {
    case FrameKind::hello:
    case FrameKind::transcript:
    case FrameKind::failure:
      return true;
    case FrameKind::recognise:
      return length == kWaitBytes;
    case FrameKind::ready:
    case FrameKind::busy:
    case FrameKind::otherModel:
    case FrameKind::refused:
    case FrameKind::working:
      return length == 0;
  }
  return false;
}

}  // namespace

std::string encodeFrame(const Frame& frame) {
  std::string out(kFrameMagic);
  putLittle(out, frame.version, 2);
  out.push_back(static_cast<char>(frame.kind));
  putLittle(out, frame.payload.size(), 4);
  out += frame.payload;
  return out;
}

FrameRead decodeFrame(std::string_view bytes, size_t mostPayload) {
  FrameRead read;
  // A wrong magic is bad as soon as its first wrong byte is in.
  const size_t seen = std::min(bytes.size(), kMagicBytes);
  if (bytes.substr(0, seen) != kFrameMagic.substr(0, seen)) {
    read.verdict = FrameVerdict::bad;
    return read;
  }
  if (bytes.size() < kHeaderBytes) return read;
  const auto version = static_cast<uint16_t>(getLittle(bytes.substr(kMagicBytes), 2));
  const auto kind = static_cast<FrameKind>(static_cast<unsigned char>(bytes[kMagicBytes + 2]));
  const uint64_t length = getLittle(bytes.substr(kMagicBytes + 3), 4);
  if (length > mostPayload || (version == kProtocolVersion && !fits(kind, length))) {
    read.verdict = FrameVerdict::bad;
    return read;
  }
  if (bytes.size() - kHeaderBytes < length) return read;
  read.verdict = FrameVerdict::complete;
  read.frame = Frame{version, kind, std::string(bytes.substr(kHeaderBytes, length))};
  read.used = kHeaderBytes + length;
  return read;
}

std::string recognisePayload(std::chrono::milliseconds wait) {
  std::string out;
  putLittle(out, static_cast<uint64_t>(wait.count()), kWaitBytes);
  return out;
}

std::optional<std::chrono::milliseconds> parseRecognisePayload(std::string_view payload) {
  if (payload.size() != kWaitBytes) return std::nullopt;
  const std::chrono::milliseconds wait(static_cast<int64_t>(getLittle(payload, kWaitBytes)));
  if (wait > kMostRecognitionWait) return std::nullopt;
  return wait;
}

HelloAnswer answerToHello(const Frame& reply) {
  return reply.version == kProtocolVersion && reply.kind == FrameKind::ready
             ? HelloAnswer::useService
             : HelloAnswer::decodeHere;
}

HelloReply replyToHello(const Frame& hello, std::string_view identity, bool decoderHeld) {
  if (hello.version != kProtocolVersion || hello.kind != FrameKind::hello) {
    return {Frame{kProtocolVersion, FrameKind::refused, {}}, hello.version > kProtocolVersion};
  }
  if (hello.payload != identity) return {Frame{kProtocolVersion, FrameKind::otherModel, {}}, true};
  return {Frame{kProtocolVersion, decoderHeld ? FrameKind::ready : FrameKind::busy, {}}, false};
}

}  // namespace stt
