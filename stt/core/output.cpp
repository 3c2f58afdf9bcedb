#include "output.hpp"

#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "constants.hpp"

namespace stt {
namespace {

std::string randomSuffix() {
  static const char digits[] = "0123456789abcdef";
  std::random_device device;
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof digits) - 2);  // not the NUL
  std::string suffix;
  for (int i = 0; i < kTemporaryNameDigits; ++i) suffix += digits[pick(device)];
  return suffix;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  if (!target.has_filename()) return false;
  const fs::path directory = target.parent_path();

  fs::path temporary;
  std::FILE* file = nullptr;
  // Exclusive creation, so a name another writer holds is never reused.
  for (int attempt = 0; attempt < kTemporaryNameAttempts && file == nullptr; ++attempt) {
    temporary = directory / ("." + target.filename().string() + "." + randomSuffix() + ".tmp");
    file = std::fopen(temporary.c_str(), "wbx");
  }
  if (file == nullptr) return false;

  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  written = std::fflush(file) == 0 && written;
  written = std::fclose(file) == 0 && written;

  std::error_code error;
  if (written) fs::rename(temporary, target, error);
  if (!written || error) {
    fs::remove(temporary, error);
    return false;
  }
  return true;
}

}  // namespace stt
