#include "trendlist/shared_text.h"

namespace quorlan {

SharedText::SharedText(std::string_view text) {
  if (!text.empty()) rep_ = new Rep{std::string(text)};
}

const std::string& SharedText::Empty() noexcept {
  static const std::string empty;
  return empty;
}

void SharedText::Release() noexcept {
  if (rep_ == nullptr || --rep_->refs > 0) return;
  if (rep_->pool != nullptr) rep_->pool->reps_.erase(rep_);
  delete rep_;
}

TextPool::~TextPool() {
  for (Rep* rep : reps_) rep->pool = nullptr;
}

SharedText TextPool::Intern(std::string_view text) {
  if (text.empty()) return SharedText();
  if (auto found = reps_.find(text); found != reps_.end()) {
    ++(*found)->refs;
    return SharedText(*found);
  }
  auto* rep = new Rep{std::string(text), 1, this};
  try {
    reps_.insert(rep);
  } catch (...) {
    delete rep;
    throw;
  }
  return SharedText(rep);
}

}  // namespace quorlan
