// SharedText: an immutable text held by one pointer, and TextPool, which lets the holders of equal
// texts share one copy. The trend list holds thousands of entries with six object ids, names,
// expressions and thresholds each, most of them repeated from report to report; as std::string
// each field costs four words and often a heap block of its own.
//
// A SharedText reads as a const std::string& (the conversion is implicit and free), so code that
// reads a field as a string is unchanged; assigning a new text replaces the pointer. Copies share
// the text. A text made from a string is a copy of its own; one taken from TextPool::Intern is
// shared with every other holder of the same text from that pool, and leaves the pool when its
// last holder lets it go. The empty text holds nothing.
//
// Not thread-safe: the counts are plain integers. Texts and their pool belong to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

namespace quorlan {

class TextPool;

class SharedText {
 public:
  SharedText() noexcept = default;
  // A text of its own, in no pool.
  SharedText(std::string_view text);  // NOLINT(google-explicit-constructor): a field takes "..."
  SharedText(const std::string& text) : SharedText(std::string_view(text)) {}  // NOLINT
  SharedText(const char* text) : SharedText(std::string_view(text)) {}         // NOLINT
  SharedText(const SharedText& other) noexcept : rep_(other.rep_) {
    if (rep_ != nullptr) ++rep_->refs;
  }
  SharedText(SharedText&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  SharedText& operator=(SharedText other) noexcept {
    std::swap(rep_, other.rep_);
    return *this;
  }
  ~SharedText() { Release(); }

  const std::string& str() const noexcept { return rep_ != nullptr ? rep_->text : Empty(); }
  operator const std::string&() const noexcept { return str(); }  // NOLINT
  operator std::string_view() const noexcept { return str(); }    // NOLINT
  bool empty() const noexcept { return rep_ == nullptr; }
  size_t size() const noexcept { return str().size(); }
  const char* c_str() const noexcept { return str().c_str(); }
  void clear() noexcept {
    Release();
    rep_ = nullptr;
  }

  friend bool operator==(const SharedText& a, std::string_view b) noexcept {
    return std::string_view(a.str()) == b;
  }

 private:
  friend class TextPool;
  struct Rep {
    std::string text;  // never empty
    uint32_t refs = 1;
    TextPool* pool = nullptr;  // the pool that finds it, or none
  };
  explicit SharedText(Rep* rep) noexcept : rep_(rep) {}
  static const std::string& Empty() noexcept;
  void Release() noexcept;

  Rep* rep_ = nullptr;
};

// The distinct texts handed out, each found by its contents while it has a holder. Texts outlive
// their pool: the pool's end leaves them as texts of their own.
class TextPool {
 public:
  TextPool() = default;
  TextPool(const TextPool&) = delete;
  TextPool& operator=(const TextPool&) = delete;
  ~TextPool();

  // The pool's copy of text, made on first use.
  SharedText Intern(std::string_view text);
  // The distinct texts held now.
  size_t size() const { return reps_.size(); }

 private:
  friend class SharedText;
  using Rep = SharedText::Rep;
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
    size_t operator()(const Rep* r) const noexcept { return (*this)(r->text); }
  };
  struct Equal {
    using is_transparent = void;
    static std::string_view View(std::string_view s) noexcept { return s; }
    static std::string_view View(const Rep* r) noexcept { return r->text; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const noexcept {
      return View(a) == View(b);
    }
  };
  std::unordered_set<Rep*, Hash, Equal> reps_;
};

}  // namespace quorlan
