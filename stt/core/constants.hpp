#pragma once
// Fixed configuration of ombru-stt. Everything the program may not tune at
// run time lives here, so the core, the engine and the tests read one source.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace stt {

// Command line.
inline constexpr std::string_view kUsage = "usage: ombru-stt <audio-file> [--server-ok]\n";
inline constexpr std::string_view kServerOkFlag = "--server-ok";
// An argument that starts so is a flag, never the output path.
inline constexpr std::string_view kFlagPrefix = "--";
inline constexpr std::string_view kLocale = "en-US";

enum ExitStatus : int {
  kTranscribed = 0,
  kUsageError = 2,
  kNotAuthorised = 3,
  kNoRecognizer = 4,
  kRecognizerUnavailable = 5,
  kOnDeviceUnavailable = 6,
  kRecognitionFailed = 7,
};

// The one line a failure writes to standard error, and, after
// kFailureMarker, to the output file.
inline constexpr std::string_view kNotAuthorisedMessage = "speech-recognition-not-authorised";
inline constexpr std::string_view kNoRecognizerMessage = "no-recognizer-for-locale";
inline constexpr std::string_view kRecognizerUnavailableMessage = "recognizer-unavailable";
inline constexpr std::string_view kOnDeviceUnavailableMessage = "on-device-model-unavailable";
// Followed by the recogniser's own description.
inline constexpr std::string_view kRecognitionFailedPrefix = "recognition-failed: ";
inline constexpr std::string_view kFailureMarker = "!";
// What a recognition that failed says when the engine gave no reason.
inline constexpr std::string_view kCouldNotStartRecognition = "could not start recognition";
inline constexpr std::string_view kDecoderCouldNotLoad = "decoder could not load";
inline constexpr std::string_view kDecoderCouldNotStart = "decoder could not start";
inline constexpr std::string_view kDecodingFailed = "decoding failed";
inline constexpr std::string_view kSearchCouldNotBeSetUp = "search could not be set up";
inline constexpr std::string_view kModelNotLoaded = "recogniser unavailable";

// The longest waits for the authorisation answer and for the recognition.
inline constexpr std::chrono::milliseconds kAuthorisationWait{60'000};
inline constexpr std::chrono::milliseconds kRecognitionWait{20'000};

// The output file is written to a hidden temporary beside it, named with
// this many random hexadecimal digits, with this many tries at a free name.
inline constexpr int kTemporaryNameDigits = 12;
inline constexpr int kTemporaryNameAttempts = 8;

// Audio as the decoder takes it: 16 kHz mono, looked at in 10 ms frames.
inline constexpr int kSampleRate = 16000;
inline constexpr size_t kFrameSamples = kSampleRate / 100;
// Audio is read this many frames at a time, about a quarter of a second at
// 16 kHz: small enough that a cancel is seen promptly, large enough that the
// per-block cost is lost in the decode.
inline constexpr long kAudioBlockFrames = 4096;
// The magnitude of a full-scale 16-bit sample.
inline constexpr double kFullScale = 32768.0;

// Where segments are cut, in frames and decibels (SegmentRules).
inline constexpr size_t kPauseFrames = 40;          // a pause this long ends a segment...
inline constexpr size_t kMinSegmentFrames = 800;    // ...once the segment has this much before it
inline constexpr size_t kMaxSegmentFrames = 2000;   // never longer than this (20 s)
inline constexpr size_t kSpeechFrames = 10;         // fewer loud frames than this is no speech
inline constexpr double kFloorRisePerFrame = 0.01;  // dB the noise floor may rise per frame
inline constexpr double kAboveFloor = 10.0;         // dB over the noise floor that counts as sound
inline constexpr double kSilentBelow = -60.0;       // dBFS that is always silence
// A frame's level never reads below this, so digital silence has a level.
inline constexpr double kLowestLevel = -100.0;
// Added to a frame's power before its logarithm, which zero has none of.
inline constexpr double kPowerFloor = 1e-12;
// Silent whatever the rules say: no speech is this quiet.
inline constexpr double kInaudibleBelow = -90.0;

// Which search a file gets. It gets the engine's full search when that is
// expected to take at most kFullSearchShareOfWait of the recognition wait,
// else the fast one.
//
// Processor seconds the full search spends per second of audio: 0.24 on
// 20 s stretches of the corpus, 0.29 on its short clips and 0.32 on real
// recordings, measured on a 2-core machine that other work kept busy (load
// 5 to 8; bench/README.md). The fast search spends 0.12 there.
inline constexpr double kFullSearchCostPerSecond = 0.3;
// Wall seconds to load the decoders before the decoding starts, with margin.
inline constexpr double kDecoderLoadSeconds = 1.0;
// The share of the recognition wait a full search may be expected to take;
// the rest is room for a busy machine.
inline constexpr double kFullSearchShareOfWait = 1.0 / 3.0;
// No segment is longer than this, and one segment is decoded by one core.
inline constexpr double kLongestSegmentSeconds =
    static_cast<double>(kMaxSegmentFrames * kFrameSamples) / kSampleRate;
// The fast search, chosen from the curve of word error against speed in
// bench/README.md: no second, flat pass, at most 3000 phone models and 10
// words alive per frame take half of the decoding work away, which lets two
// minutes of speech fit in the recognition wait.
inline constexpr bool kFastFlatPass = false;
inline constexpr long kFastMaxPhoneModels = 3000;
inline constexpr long kFastMaxWords = 10;

// Decoding. Reading runs this many segments ahead of the busy workers, so
// that the next one is cut by the time a worker is free.
inline constexpr size_t kSegmentsReadAhead = 1;
// A segment is searched this many 10 ms frames at a time, a cancel looked
// at between them: about 60 ms of decoding with the full search on an idle
// machine, where a whole 20 s segment takes seconds.
inline constexpr size_t kDecodeBlockFrames = 25;
// A cancel sets a flag and notifies no one, hence the polling.
inline constexpr std::chrono::milliseconds kCancelPoll{50};

// Debian's US English model (pocketsphinx-en-us): the folder and, inside
// it, the acoustic model folder, the language model and the dictionary.
inline constexpr std::string_view kModelDirectory = "/usr/share/pocketsphinx/model/en-us";
inline constexpr std::string_view kAcousticModel = "en-us";
inline constexpr std::string_view kLanguageModel = "en-us.lm.bin";
inline constexpr std::string_view kDictionary = "cmudict-en-us.dict";

// Where the dictionary cut to the language model's words is kept: a folder
// of this name in the user's cache folder, one file per model version, named
// kPreparedPrefix, a hash of the model files' identity, kPreparedSuffix.
inline constexpr std::string_view kCacheFolder = "ombru-stt";
inline constexpr std::string_view kPreparedPrefix = "dictionary-";
inline constexpr std::string_view kPreparedSuffix = ".dict";

// The recogniser service: one per user, the model kept loaded, reached over
// a Unix socket in a folder of the user's runtime folder.
inline constexpr std::string_view kServiceFolder = "ombru-stt";
inline constexpr std::string_view kServiceSocket = "socket";
// Held locked by the one service that serves; a second one leaves.
inline constexpr std::string_view kServiceLock = "lock";
// The service's executable, beside the tool in a build and in the
// package's private folder when installed.
inline constexpr std::string_view kServiceProgram = "ombru-stt-service";
// With no caller for this long, the service leaves and frees its memory.
inline constexpr std::chrono::milliseconds kServiceIdle{10 * 60'000};
// After starting a service, the tool tries to connect this long, this often.
inline constexpr std::chrono::milliseconds kServiceStartWait{2'000};
inline constexpr std::chrono::milliseconds kServiceConnectPoll{5};
// The longest the tool waits for the service to take it on, its model load
// included; past it the tool decodes by itself.
inline constexpr std::chrono::milliseconds kServiceReadyWait{5'000};
// The longest the service waits for each request of a caller.
inline constexpr std::chrono::milliseconds kServiceRequestWait{2'000};
// While decoding, the service says so this often; a service silent for
// kServiceSilence is taken for hung, and the tool decodes by itself.
inline constexpr std::chrono::milliseconds kServiceHeartbeat{250};
inline constexpr std::chrono::milliseconds kServiceSilence{2'000};
// Decoders the service may hold (one per core of a 2-core machine), and
// callers it talks to at once; more are turned away at once.
inline constexpr size_t kServiceDecoders = 2;
inline constexpr size_t kServiceConnections = 8;
inline constexpr int kServiceBacklog = 16;

// The service's protocol: every message is a frame of kFrameMagic, the
// protocol version (16 bits), a kind (8 bits) and the payload's length (32
// bits, little-endian), then the payload.
inline constexpr std::string_view kFrameMagic = "OSTT";
inline constexpr uint16_t kProtocolVersion = 1;
// Longest payloads: a request is a few words; a reply holds a transcript.
inline constexpr size_t kMostRequestBytes = 4096;
inline constexpr size_t kMostReplyBytes = 1 << 20;
// The longest recognition wait a caller may ask of the service.
inline constexpr std::chrono::milliseconds kMostRecognitionWait{10 * 60'000};

}  // namespace stt
