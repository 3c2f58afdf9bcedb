#include "text.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cmath>
#include <limits>
#include <memory>

namespace ombru::ax::text {
namespace {

icu::UnicodeString toUnicode(std::string_view s) {
  // fromUTF8 turns every ill-formed sequence into U+FFFD.
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string toUtf8(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

bool isWhitespaceOrNewline(UChar32 c) {
  if (c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  const int8_t t = u_charType(c);
  return t == U_SPACE_SEPARATOR || t == U_LINE_SEPARATOR || t == U_PARAGRAPH_SEPARATOR;
}

bool isSpaceOrTab(UChar32 c) {
  return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR;
}

template <class Pred>
std::string trim(std::string_view s, Pred drop) {
  const icu::UnicodeString u = toUnicode(s);
  int32_t start = 0;
  int32_t end = u.length();
  while (start < end && drop(u.char32At(start))) start = u.moveIndex32(start, 1);
  while (end > start) {
    const int32_t prev = u.moveIndex32(end, -1);
    if (!drop(u.char32At(prev))) break;
    end = prev;
  }
  return toUtf8(u.tempSubStringBetween(start, end));
}

// Grapheme iteration is costly to set up; one iterator serves the process.
icu::BreakIterator* graphemes() {
  static std::unique_ptr<icu::BreakIterator> it = [] {
    UErrorCode err = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> b(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), err));
    if (U_FAILURE(err)) b.reset();
    return b;
  }();
  return it.get();
}

const icu::Normalizer2* nfc() {
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(err);
  return U_FAILURE(err) ? nullptr : n;
}

const icu::Normalizer2* nfd() {
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(err);
  return U_FAILURE(err) ? nullptr : n;
}

icu::UnicodeString normalized(const icu::Normalizer2* n, const icu::UnicodeString& u) {
  if (n == nullptr) return u;
  UErrorCode err = U_ZERO_ERROR;
  icu::UnicodeString out = n->normalize(u, err);
  return U_FAILURE(err) ? u : out;
}

// Canonical caseless form: decompose, fold (Turkic dotless i where the
// locale asks for it), decompose again.
icu::UnicodeString caseless(std::string_view s) {
  const char* lang = icu::Locale::getDefault().getLanguage();
  const bool turkic =
      lang != nullptr && (std::string_view(lang) == "tr" || std::string_view(lang) == "az");
  // Turkic folding maps the precomposed dotted capital I, so it runs on the
  // composed form.
  icu::UnicodeString u = normalized(turkic ? nfc() : nfd(), toUnicode(s));
  u.foldCase(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
  return normalized(nfd(), u);
}

}  // namespace

std::string sanitize(std::string_view s) {
  return toUtf8(toUnicode(s));
}

std::string trimWhitespaceAndNewlines(std::string_view s) {
  return trim(s, isWhitespaceOrNewline);
}

std::string trimSpacesAndTabs(std::string_view s) {
  return trim(s, isSpaceOrTab);
}

std::size_t graphemeCount(std::string_view s, std::size_t limit) {
  if (s.empty() || limit == 0) return 0;
  const icu::UnicodeString u = toUnicode(s);
  icu::BreakIterator* it = graphemes();
  if (it == nullptr) return static_cast<std::size_t>(u.countChar32());
  it->setText(u);
  std::size_t n = 0;
  it->first();
  while (it->next() != icu::BreakIterator::DONE) {
    if (++n >= limit) break;
  }
  it->setText(icu::UnicodeString());
  return n;
}

std::string graphemePrefix(std::string_view s, std::size_t n) {
  const icu::UnicodeString u = toUnicode(s);
  if (n == 0) return {};
  icu::BreakIterator* it = graphemes();
  if (it == nullptr) return toUtf8(u.tempSubString(0, u.moveIndex32(0, static_cast<int32_t>(n))));
  it->setText(u);
  int32_t end = it->first();
  for (std::size_t i = 0; i < n; ++i) {
    const int32_t next = it->next();
    if (next == icu::BreakIterator::DONE) break;
    end = next;
  }
  it->setText(icu::UnicodeString());
  return toUtf8(u.tempSubString(0, end));
}

bool equal(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return normalized(nfc(), toUnicode(a)) == normalized(nfc(), toUnicode(b));
}

std::string lower(std::string_view s) {
  icu::UnicodeString u = toUnicode(s);
  u.toLower(icu::Locale::getRoot());
  return toUtf8(u);
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  const icu::UnicodeString h = caseless(haystack);
  const icu::UnicodeString n = caseless(needle);
  if (n.isEmpty()) return false;
  for (int32_t from = 0;;) {
    const int32_t at = h.indexOf(n, from);
    if (at < 0) return false;
    // A match must not end inside a character: the haystack may go on with a
    // combining mark that belongs to the last matched letter.
    const int32_t end = at + n.length();
    if (end >= h.length() || (U_GET_GC_MASK(h.char32At(end)) & U_GC_M_MASK) == 0) return true;
    from = at + 1;
  }
}

std::string lineFeedsToSpaces(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '\n') c = ' ';
  }
  return out;
}

std::int64_t truncate(double v) {
  if (std::isnan(v)) return 0;
  // 2^63 is exactly representable; everything at or above it is out of range.
  constexpr double kTop = 9223372036854775808.0;
  if (v >= kTop) return std::numeric_limits<std::int64_t>::max();
  if (v < -kTop) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

}  // namespace ombru::ax::text
