#pragma once

#include <string>
#include <string_view>

namespace stt {

// Replaces the file at `path` with `bytes`: they go to a new file in the same
// directory, which is then renamed over the old one, so a reader sees either
// the old file or the whole new text. False when anything failed; the old
// file is then left as it was.
bool writeFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace stt
