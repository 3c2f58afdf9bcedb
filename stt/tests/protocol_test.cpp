// The service's frames: what the decoder takes, refuses at once, or waits
// for, and the answers both sides draw from them.
#include <gtest/gtest.h>

#include "protocol.hpp"

namespace {

using namespace stt;
using namespace std::chrono_literals;

std::string frame(FrameKind kind, std::string payload = {}, uint16_t version = kProtocolVersion) {
  return encodeFrame(Frame{version, kind, std::move(payload)});
}

TEST(SttProtocol, FramesRoundTripAndEveryPrefixWaitsForMore) {
  const std::string bytes = frame(FrameKind::transcript, "Hello there.") + "OSTT";
  for (size_t cut = 0; cut < bytes.size() - 4; ++cut)
    EXPECT_EQ(decodeFrame(bytes.substr(0, cut), kMostReplyBytes).verdict, FrameVerdict::incomplete)
        << cut;
  const auto read = decodeFrame(bytes, kMostReplyBytes);
  ASSERT_EQ(read.verdict, FrameVerdict::complete);
  EXPECT_EQ(read.frame.kind, FrameKind::transcript);
  EXPECT_EQ(read.frame.payload, "Hello there.");
  EXPECT_EQ(read.used, bytes.size() - 4);  // the next frame's start is left
}

TEST(SttProtocol, WhatCannotBecomeAFrameIsBadAtOnce) {
  EXPECT_EQ(decodeFrame("GET ", kMostRequestBytes).verdict, FrameVerdict::bad);
  EXPECT_EQ(decodeFrame("OSX", kMostRequestBytes).verdict, FrameVerdict::bad);
  // A length over the limit, before any of its payload came.
  const std::string huge = frame(FrameKind::hello, std::string(kMostRequestBytes + 1, 'x'));
  EXPECT_EQ(decodeFrame(huge.substr(0, 11), kMostRequestBytes).verdict, FrameVerdict::bad);
  // In this version: a kind it does not know, a payload its kind does not take.
  std::string unknown = frame(FrameKind::ready);
  unknown[6] = 99;
  EXPECT_EQ(decodeFrame(unknown, kMostRequestBytes).verdict, FrameVerdict::bad);
  EXPECT_EQ(decodeFrame(frame(FrameKind::ready, "x"), kMostRequestBytes).verdict,
            FrameVerdict::bad);
  EXPECT_EQ(decodeFrame(frame(FrameKind::recognise, "abc"), kMostRequestBytes).verdict,
            FrameVerdict::bad);
  // Another version's frame is read whatever it holds, to be answered.
  unknown = frame(FrameKind::ready, "x", kProtocolVersion + 1);
  unknown[6] = 99;
  EXPECT_EQ(decodeFrame(unknown, kMostRequestBytes).verdict, FrameVerdict::complete);
}

TEST(SttProtocol, TheRecognitionWaitIsBounded) {
  EXPECT_EQ(parseRecognisePayload(recognisePayload(20s)), 20s);
  EXPECT_EQ(parseRecognisePayload(recognisePayload(kMostRecognitionWait)), kMostRecognitionWait);
  EXPECT_FALSE(parseRecognisePayload(recognisePayload(kMostRecognitionWait + 1ms)));
  EXPECT_FALSE(parseRecognisePayload(std::string("\xff\xff\xff\xff", 4)));
  EXPECT_FALSE(parseRecognisePayload("abc"));
}

TEST(SttProtocol, HelloAnswers) {
  const Frame hello{kProtocolVersion, FrameKind::hello, "model-1"};
  EXPECT_EQ(replyToHello(hello, "model-1", true).reply.kind, FrameKind::ready);
  EXPECT_EQ(replyToHello(hello, "model-1", false).reply.kind, FrameKind::busy);
  EXPECT_FALSE(replyToHello(hello, "model-1", false).retire);
  // The model on disk changed: the service makes way for one that loads it.
  const auto other = replyToHello(hello, "model-2", true);
  EXPECT_EQ(other.reply.kind, FrameKind::otherModel);
  EXPECT_TRUE(other.retire);
  // A newer caller retires the service; an older one does not.
  EXPECT_TRUE(replyToHello(Frame{kProtocolVersion + 1, FrameKind::hello, "m"}, "m", true).retire);
  const auto older = replyToHello(Frame{kProtocolVersion - 1, FrameKind::hello, "m"}, "m", true);
  EXPECT_EQ(older.reply.kind, FrameKind::refused);
  EXPECT_FALSE(older.retire);

  EXPECT_EQ(answerToHello(Frame{kProtocolVersion, FrameKind::ready, {}}), HelloAnswer::useService);
  for (const auto kind :
       {FrameKind::busy, FrameKind::otherModel, FrameKind::refused, FrameKind::transcript})
    EXPECT_EQ(answerToHello(Frame{kProtocolVersion, kind, {}}), HelloAnswer::decodeHere);
  EXPECT_EQ(answerToHello(Frame{kProtocolVersion + 1, FrameKind::ready, {}}),
            HelloAnswer::decodeHere);
}

}  // namespace
