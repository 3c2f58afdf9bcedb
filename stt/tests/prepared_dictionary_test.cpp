// The dictionary cut to the language model's words: what it holds, and that
// a changed model, a damaged file or racing runs never make it wrong.
#include <gtest/gtest.h>
#include <pocketsphinx.h>
#include <sphinxbase/ngram_model.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unordered_set>
#include <vector>

#include "engine_sphinx.hpp"
#include "prepared_dictionary.hpp"
#include "scratch_dir.hpp"

namespace stt {
namespace {

namespace fs = std::filesystem;

// "word(2)" and its phones, by entry.
std::map<std::string, std::string> entriesOf(const fs::path& dict) {
  std::map<std::string, std::string> entries;
  std::istringstream lines(readFile(dict));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string key, phone, phones;
    if (!(words >> key) || key.starts_with("##")) continue;
    while (words >> phone) phones += phone + ' ';
    entries[key] = phones;
  }
  return entries;
}

std::string baseOf(const std::string& entry) {
  const auto open = entry.find('(');
  return open == std::string::npos || open == 0 ? entry : entry.substr(0, open);
}

std::unordered_set<std::string> languageModelWords(const fs::path& lm) {
  logmath_t* math = logmath_init(1.0001, 0, 0);
  ngram_model_t* model = ngram_model_read(nullptr, lm.c_str(), NGRAM_AUTO, math);
  std::unordered_set<std::string> words;
  if (model != nullptr) {
    for (uint32 id = 0; id < ngram_model_get_counts(model)[0]; ++id)
      words.emplace(ngram_word(model, static_cast<int32>(id)));
    ngram_model_free(model);
  }
  logmath_free(math);
  return words;
}

class SttPrepared : public ScratchDirTest {
 protected:
  SttPrepared() : ScratchDirTest("prepared") {}
  // The real model with a dictionary of the test's own, which it may change.
  SphinxModel modelCopy() {
    const auto real = modelIn(kModelDirectory);
    fs::create_directories(dir_ / "model");
    fs::create_directory_symlink(real.hmm, dir_ / "model" / "en-us");
    fs::create_symlink(real.lm, dir_ / "model" / "en-us.lm.bin");
    fs::copy_file(real.dict, dir_ / "model" / "cmudict-en-us.dict");
    return modelIn(dir_ / "model");
  }
  static bool loads(const SphinxModel& model, const fs::path& cache) {
    auto platform = makeSphinxPlatform(model, cache);
    auto recognizer = platform->recognizer("en-US");
    return recognizer && recognizer->isAvailable();
  }
};

TEST_F(SttPrepared, ItHoldsEveryPronunciationOfEveryWordTheLanguageModelCanProduce) {
  const auto real = modelIn(kModelDirectory);
  ASSERT_TRUE(loads(real, dir_ / "cache"));
  const auto prepared = findPreparedDictionary(dir_ / "cache", real.dict, real.lm);
  ASSERT_TRUE(prepared);
  const auto words = languageModelWords(real.lm);
  ASSERT_GT(words.size(), 70000u);
  const auto full = entriesOf(real.dict);
  const auto mine = entriesOf(*prepared);
  size_t wanted = 0, alternates = 0;
  for (const auto& [entry, phones] : full) {
    if (!words.contains(baseOf(entry))) continue;
    ++wanted;
    if (entry != baseOf(entry)) ++alternates;
    const auto found = mine.find(entry);
    ASSERT_NE(found, mine.end()) << entry;
    EXPECT_EQ(found->second, phones) << entry;
  }
  EXPECT_GT(alternates, 5000u);
  EXPECT_EQ(mine.size(), wanted) << "entries for words the language model cannot produce";
  EXPECT_LT(mine.size(), full.size() * 2 / 3);
}

TEST_F(SttPrepared, AChangedModelOrADamagedFileIsNeverUsed) {
  const auto model = modelCopy();
  const auto cache = dir_ / "cache";
  ASSERT_TRUE(loads(model, cache));
  const auto prepared = findPreparedDictionary(cache, model.dict, model.lm);
  ASSERT_TRUE(prepared);
  const std::string good = readFile(*prepared);
  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x01;
  for (const std::string& damaged : {flipped, good.substr(0, good.size() / 2), std::string()}) {
    std::ofstream(*prepared, std::ios::binary | std::ios::trunc) << damaged;
    EXPECT_FALSE(findPreparedDictionary(cache, model.dict, model.lm));
  }
  std::ofstream(*prepared, std::ios::binary | std::ios::trunc) << good;
  ASSERT_TRUE(findPreparedDictionary(cache, model.dict, model.lm));

  // Beside it, things that are not ours, or only look like it.
  std::ofstream(dir_ / "elsewhere.dict") << "kept";
  const std::vector<fs::path> strangers{
      cache / "dictionary-00000000000000aa.dict",  // a link: never followed nor removed
      cache / "dictionary-00000000000000bb.dict",  // a folder
      cache / "dictionary-00000000000000CC.dict",  // not a name we write
      cache / "dictionary-0123.dict",
      cache / "dictionary-a1B2c3",  // a run still writing
      cache / "notes.txt",
  };
  fs::create_symlink(dir_ / "elsewhere.dict", strangers[0]);
  fs::create_directory(strangers[1]);
  for (size_t i = 2; i < strangers.size(); ++i) std::ofstream(strangers[i]) << "x";

  // A word added to the model's dictionary: the old file no longer counts,
  // and the next load, of the full files, prepares the new one and removes
  // the old one, which nothing would ever read again.
  std::ofstream(model.dict, std::ios::app) << "ombru OW M B R UW\n";
  EXPECT_FALSE(findPreparedDictionary(cache, model.dict, model.lm));
  ASSERT_TRUE(loads(model, cache));
  const auto renewed = findPreparedDictionary(cache, model.dict, model.lm);
  ASSERT_TRUE(renewed);
  EXPECT_NE(*renewed, *prepared);
  EXPECT_FALSE(fs::exists(*prepared));
  for (const auto& stranger : strangers)
    EXPECT_TRUE(fs::exists(fs::symlink_status(stranger))) << stranger;
  EXPECT_EQ(readFile(dir_ / "elsewhere.dict"), "kept");
}

TEST_F(SttPrepared, RacingRunsLeaveOneWholeFileAndAnUnusableCacheOnlyCostsTime) {
  const auto real = modelIn(kModelDirectory);
  const auto identity = modelIdentity(real.dict, real.lm);
  ASSERT_TRUE(identity);
  const std::unordered_set<std::string> words{"go", "forward", "ten", "meters"};
  const auto cache = dir_ / "cache";
  std::vector<std::thread> runs;
  std::atomic<int> written{0};
  for (int i = 0; i < 4; ++i) {
    runs.emplace_back(
        [&] { written += writePreparedDictionary(cache, real.dict, real.lm, *identity, words); });
  }
  for (auto& run : runs) run.join();
  EXPECT_EQ(written, 4);
  const auto prepared = findPreparedDictionary(cache, real.dict, real.lm);
  ASSERT_TRUE(prepared);
  for (const auto& [entry, phones] : entriesOf(*prepared))
    EXPECT_TRUE(words.contains(baseOf(entry)));
  EXPECT_TRUE(entriesOf(*prepared).contains("go"));
  EXPECT_EQ(std::distance(fs::directory_iterator(cache), fs::directory_iterator()), 1);

  // Words read from other files than the ones named now are not written.
  EXPECT_FALSE(writePreparedDictionary(dir_ / "other", real.dict, real.lm, "older files", words));
  EXPECT_FALSE(fs::exists(dir_ / "other") && !fs::is_empty(dir_ / "other"));

  // A cache that is a file, not a folder: the full files load as before.
  std::ofstream(dir_ / "not-a-folder") << "x";
  EXPECT_FALSE(
      writePreparedDictionary(dir_ / "not-a-folder", real.dict, real.lm, *identity, words));
  EXPECT_TRUE(loads(real, dir_ / "not-a-folder"));
}

}  // namespace
}  // namespace stt
