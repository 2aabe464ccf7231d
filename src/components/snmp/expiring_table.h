// A bounded table of things sent and awaiting an answer, by key (a request id, an msgID).
//
// Invariants: entries are kept in the order they were inserted; none is older than the lifetime
// once a call has looked at the table (older ones are dropped as each call begins); there are never
// more than capacity entries (inserting into a full table drops the oldest). Several entries may
// share a key. Times are monotonic milliseconds handed in by the caller, so a test clock drives it.
//
// Pointers returned by Find and FindFirst stay valid until the next Insert, Erase, Find or
// FindFirst.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>
#include <map>
#include <utility>
#include <vector>

namespace quorlan {

template <typename Key, typename Value>
class ExpiringTable {
 public:
  // REQUIRES: capacity > 0.
  ExpiringTable(size_t capacity, int64_t lifetime_ms)
      : capacity_(capacity), lifetime_ms_(lifetime_ms) {}

  void Insert(const Key& key, Value value, int64_t now_ms) {
    Expire(now_ms);
    if (order_.size() >= capacity_) Drop(order_.begin());
    order_.push_back(Entry{key, std::move(value), now_ms});
    index_.emplace(key, std::prev(order_.end()));
  }

  // The entries of key, oldest first.
  std::vector<Value*> Find(const Key& key, int64_t now_ms) {
    Expire(now_ms);
    std::vector<Value*> found;
    auto [from, to] = index_.equal_range(key);
    for (auto it = from; it != to; ++it) found.push_back(&it->second->value);
    return found;
  }

  // The oldest entry of key that satisfies pred, or null; Find without building a list.
  template <typename Pred>
  Value* FindFirst(const Key& key, int64_t now_ms, Pred pred) {
    Expire(now_ms);
    auto [from, to] = index_.equal_range(key);
    for (auto it = from; it != to; ++it) {
      if (pred(std::as_const(it->second->value))) return &it->second->value;
    }
    return nullptr;
  }

  // Removes the entry of key that which points to, or every entry of key when which is null.
  void Erase(const Key& key, const Value* which = nullptr) {
    auto [from, to] = index_.equal_range(key);
    for (auto it = from; it != to;) {
      const auto next = std::next(it);
      if (which == nullptr || &it->second->value == which) Drop(it->second);
      it = next;
    }
  }

  size_t size() const { return order_.size(); }

 private:
  struct Entry {
    Key key;
    Value value;
    int64_t at_ms;
  };
  using Iterator = typename std::list<Entry>::iterator;

  void Expire(int64_t now_ms) {
    while (!order_.empty() && now_ms - order_.front().at_ms > lifetime_ms_) Drop(order_.begin());
  }

  void Drop(Iterator entry) {
    auto [from, to] = index_.equal_range(entry->key);
    for (auto it = from; it != to; ++it) {
      if (it->second == entry) {
        index_.erase(it);
        break;
      }
    }
    order_.erase(entry);
  }

  size_t capacity_;
  int64_t lifetime_ms_;
  std::list<Entry> order_;  // oldest first
  std::multimap<Key, Iterator> index_;
};

}  // namespace quorlan
