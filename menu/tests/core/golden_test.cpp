// Each <name>.json in the data folder is a state document; <name>.menu.txt is
// the dump of the menu it must give. Set OMBRU_UPDATE_GOLDEN=1 to rewrite the
// dumps after a deliberate change, then read the diff.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/menu_model.hpp"
#include "core/state.hpp"

using namespace ombru::menu;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> documents() {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(OMBRU_MENU_GOLDEN_DIR))
    if (e.path().extension() == ".json") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(Golden, EveryDocumentGivesItsMenu) {
  const bool update = std::getenv("OMBRU_UPDATE_GOLDEN") != nullptr;
  auto docs = documents();
  ASSERT_GE(docs.size(), 10u);
  for (const fs::path& doc : docs) {
    fs::path want = doc;
    want.replace_extension(".menu.txt");
    std::string got = dumpMenu(buildMenu(decodeState(readFile(doc))));
    if (update) {
      std::ofstream(want, std::ios::binary) << got;
      continue;
    }
    ASSERT_TRUE(fs::exists(want)) << want;
    EXPECT_EQ(got, readFile(want)) << "for " << doc.filename();
  }
}
