// Text into index terms: ICU's word boundaries, Unicode case folding, Snowball's stop words
// and stemmers.
#include <libstemmer.h>
#include <unicode/ubrk.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "quarn_core/text.hpp"

namespace quarn_core::text {

namespace {

void check(UErrorCode status) {
  // ICU's word-boundary rules and case mappings are compiled into its data library, so what
  // can fail here is an allocation.
  if (U_FAILURE(status)) throw std::bad_alloc();
}

// One word-boundary iterator per thread (an iterator holds the state of one text), with
// the UText it reads through and the buffers of case folding.
struct ThreadIcu {
  UBreakIterator* words = nullptr;
  UText* text = nullptr;
  std::u16string wide, folded;
  ThreadIcu() {
    UErrorCode status = U_ZERO_ERROR;
    words = ubrk_open(UBRK_WORD, "", nullptr, 0, &status);
    check(status);
  }
  ~ThreadIcu() {
    if (text != nullptr) utext_close(text);
    ubrk_close(words);
  }
  ThreadIcu(const ThreadIcu&) = delete;
  ThreadIcu& operator=(const ThreadIcu&) = delete;
};

ThreadIcu& thread_icu() {
  thread_local ThreadIcu icu;
  return icu;
}

// Full Unicode case folding of one word (UTF-8 in, UTF-8 appended to out), with the
// typographic apostrophe read as the ASCII one.
void fold_into(std::string_view word, std::string& out, ThreadIcu& icu) {
  const bool ascii = std::all_of(word.begin(), word.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    for (char c : word) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
    return;
  }
  auto convert = [](auto&& call, auto& buffer) {
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    call(buffer.data(), static_cast<int32_t>(buffer.size()), &length, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      buffer.resize(static_cast<std::size_t>(length));
      status = U_ZERO_ERROR;
      call(buffer.data(), static_cast<int32_t>(buffer.size()), &length, &status);
    }
    check(status);
    return length;
  };
  if (icu.wide.size() < word.size()) icu.wide.resize(word.size());
  const int32_t wide_length = convert(
      [&](char16_t* dest, int32_t capacity, int32_t* length, UErrorCode* status) {
        u_strFromUTF8WithSub(dest, capacity, length, word.data(),
                             static_cast<int32_t>(word.size()), 0xFFFD, nullptr, status);
      },
      icu.wide);
  for (int32_t i = 0; i < wide_length; ++i) {
    if (icu.wide[i] == u'\u2019') icu.wide[i] = u'\'';
  }
  if (icu.folded.size() < static_cast<std::size_t>(wide_length)) icu.folded.resize(wide_length);
  const int32_t folded_length = convert(
      [&](char16_t* dest, int32_t capacity, int32_t* length, UErrorCode* status) {
        *length = u_strFoldCase(dest, capacity, icu.wide.data(), wide_length, U_FOLD_CASE_DEFAULT,
                                status);
      },
      icu.folded);
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(folded_length) * 3);
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data() + at, static_cast<int32_t>(out.size() - at), &written, icu.folded.data(),
              folded_length, &status);
  check(status);
  out.resize(at + static_cast<std::size_t>(written));
}

// The Snowball stemmers of this thread (a stemmer keeps the state of one word).
sb_stemmer* thread_stemmer(const std::string& language) {
  struct Stemmers {
    std::map<std::string, sb_stemmer*, std::less<>> by_language;
    ~Stemmers() {
      for (auto& [name, stemmer] : by_language) sb_stemmer_delete(stemmer);
    }
  };
  thread_local Stemmers stemmers;
  auto it = stemmers.by_language.find(language);
  if (it != stemmers.by_language.end()) return it->second;
  sb_stemmer* made = sb_stemmer_new(language.c_str(), "UTF_8");
  // The language was checked, so only memory can be missing.
  if (made == nullptr) throw std::bad_alloc();
  try {
    stemmers.by_language.emplace(language, made);
  } catch (...) {
    sb_stemmer_delete(made);
    throw;
  }
  return made;
}

// Snowball's stop words of a language, folded as words are (shared by all analyzers of it).
std::shared_ptr<const std::vector<std::string>> stop_words_of(const std::string& language) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const std::vector<std::string>>> cache;
  const std::string& listed = language == "porter" ? std::string("english") : language;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache.find(listed);
  if (it != cache.end()) return it->second;
  std::shared_ptr<const std::vector<std::string>> words;
  for (const detail::StopList* list = detail::kStopLists; list->language != nullptr; ++list) {
    if (listed != list->language) continue;
    auto folded = std::make_shared<std::vector<std::string>>();
    for (const char* const* w = list->words; *w != nullptr; ++w) {
      std::string word;
      fold_into(*w, word, thread_icu());
      folded->push_back(std::move(word));
    }
    std::sort(folded->begin(), folded->end());
    folded->erase(std::unique(folded->begin(), folded->end()), folded->end());
    words = std::move(folded);
  }
  cache.emplace(listed, words);
  return words;
}

}  // namespace

std::vector<std::string> languages() {
  std::vector<std::string> out;
  for (const char** name = sb_stemmer_list(); *name != nullptr; ++name) out.emplace_back(*name);
  return out;
}

std::optional<std::string> check_language(const std::string& language) {
  const auto known = languages();
  if (std::find(known.begin(), known.end(), language) != known.end()) return std::nullopt;
  std::string list;
  for (const auto& name : known) list += (list.empty() ? "" : ", ") + name;
  return "unknown text language '" + language + "'; one of " + list + ", or None";
}

Analyzer::Analyzer(std::string language)
    : language_(std::move(language)), stop_words_(stop_words_of(*language_)) {}

void Analyzer::analyze(std::string_view text, Tokens& out) const {
  out.clear();
  // Offsets in ICU's iterators are 32-bit; a longer text is read up to that length.
  text = text.substr(0, std::min<std::size_t>(text.size(), INT32_MAX));
  ThreadIcu& icu = thread_icu();
  UErrorCode status = U_ZERO_ERROR;
  icu.text = utext_openUTF8(icu.text, text.data(), static_cast<int64_t>(text.size()), &status);
  check(status);
  ubrk_setUText(icu.words, icu.text, &status);
  check(status);
  sb_stemmer* stemmer = language_ ? thread_stemmer(*language_) : nullptr;
  std::string word;
  std::uint32_t position = 0;
  int32_t begin = ubrk_first(icu.words);
  for (int32_t end = ubrk_next(icu.words); end != UBRK_DONE;
       begin = end, end = ubrk_next(icu.words)) {
    // Spaces and punctuation have the status of "no word".
    if (ubrk_getRuleStatus(icu.words) < UBRK_WORD_NONE_LIMIT) continue;
    const std::uint32_t at = position++;
    const std::string_view raw = text.substr(begin, end - begin);
    if (raw.size() > Analyzer::kMaxTermBytes) continue;
    word.clear();
    fold_into(raw, word, icu);
    if (stop_words_ && std::binary_search(stop_words_->begin(), stop_words_->end(), word)) {
      continue;
    }
    std::string_view term = word;
    if (stemmer != nullptr) {
      const sb_symbol* stem = sb_stemmer_stem(
          stemmer, reinterpret_cast<const sb_symbol*>(word.data()), static_cast<int>(word.size()));
      if (stem == nullptr) throw std::bad_alloc();
      const int length = sb_stemmer_length(stemmer);
      if (length > 0) term = std::string_view(reinterpret_cast<const char*>(stem), length);
    }
    out.chars.append(term);
    out.ends.push_back(static_cast<std::uint32_t>(out.chars.size()));
    out.positions.push_back(at);
  }
}

}  // namespace quarn_core::text
