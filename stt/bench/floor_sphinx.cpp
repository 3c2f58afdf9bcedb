// The engine's floor: the least a program can do to transcribe 16 kHz mono
// files with PocketSphinx: one decoder, each file decoded whole in one call,
// normalised over the whole file. One line of words per file, in order.
// ombru-stt is measured against it.
//
// Each file is a stream of its own and is normalised over itself ("batch"):
// by default the decoder carries its noise estimate and its running mean
// from one file to the next, so a file's words would depend on the files
// decoded before it.
#include <pocketsphinx.h>
#include <sndfile.h>
#include <sphinxbase/err.h>

#include <cstdio>
#include <string>
#include <vector>

static void quiet(void*, err_lvl_t, const char*, ...) {}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  err_set_callback(quiet, nullptr);
  err_set_logfp(nullptr);
  const std::string model = "/usr/share/pocketsphinx/model/en-us";
  cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", (model + "/en-us").c_str(),
                                 "-lm", (model + "/en-us.lm.bin").c_str(), "-dict",
                                 (model + "/cmudict-en-us.dict").c_str(), "-cmn", "batch",
                                 static_cast<const char*>(nullptr));
  ps_decoder_t* ps = ps_init(config);
  if (ps == nullptr) return 4;

  for (int f = 1; f < argc; ++f) {
    SF_INFO info{};
    SNDFILE* file = sf_open(argv[f], SFM_READ, &info);
    if (file == nullptr || info.channels != 1 || info.samplerate != 16000) return 7;
    std::vector<short> samples(static_cast<size_t>(info.frames));
    sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    ps_start_stream(ps);
    ps_start_utt(ps);
    ps_process_raw(ps, samples.data(), samples.size(), FALSE, TRUE);
    ps_end_utt(ps);
    const char* hyp = ps_get_hyp(ps, nullptr);
    std::printf("%s\n", hyp != nullptr ? hyp : "");
  }
  ps_free(ps);
  cmd_ln_free_r(config);
  return 0;
}
