// Sets of commit ids kept natively, with the host's membership answers.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "host/host.h"
#include "store/id_set.h"

namespace history {

using host::Ref;

// Byte strings held natively. A string of 40 or 64 lowercase hexadecimal
// digits (an id of a SHA-1 or a SHA-256 repository), by far the most common
// member, is stored as the id it spells; every other string as it is.
class ContentSet {
 public:
  // Adds `content`; true when it was not a member yet.
  bool insert(std::string_view content);
  bool contains(std::string_view content) const;
  bool empty() const { return packed_.empty() && other_.empty(); }
  void clear();
  // Calls each(content) for every member, packed members spelled out again.
  template <class Each>
  void for_each(Each&& each) const {
    packed_.for_each([&](const store::ObjectId& id) {
      char text[2 * store::kMaxIdSize];
      id.hex_into(text);
      each(std::string_view(text, 2 * id.size()));
    });
    for (const std::string& content : other_) each(std::string_view(content));
  }
  // Adds the lowercase hexadecimal digits that `id` spells.
  void insert(const store::ObjectId& id) { packed_.insert(id); }
  bool contains(const store::ObjectId& id) const { return packed_.contains(id); }

 private:
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };

  // The id a string of 40 or 64 lowercase hexadecimal digits spells.
  static bool pack(std::string_view content, store::ObjectId& id);

  store::IdSet packed_;
  std::unordered_set<std::string, TextHash, std::equal_to<>> other_;
};

// A set of host objects that answers `key in set` and `set.add(key)` as a host
// set does. While every key is of the plain kind `Keys` describes (exact bytes,
// or exact ASCII str), whose equality is equality of content, the members are
// kept natively by content. The first key of any other kind moves every member
// into a host set, which then answers from there on with the host's own hashing
// and equality.
//
// `Keys` provides `static bool plain(PyObject*)`, `static std::string_view
// content(PyObject*)` (for plain keys) and `static Ref make(std::string_view)`.
template <class Keys>
class HybridSet {
 public:
  // key in set
  bool contains(PyObject* key) {
    if (!host_ && Keys::plain(key)) return native_.contains(Keys::content(key));
    move_to_host();
    return host::check(PySet_Contains(host_.get(), key)) != 0;
  }
  // set.add(key)
  void add(PyObject* key) {
    if (!host_ && Keys::plain(key)) {
      native_.insert(Keys::content(key));
      return;
    }
    move_to_host();
    host::add(host_.get(), key);
  }
  // Adds a member given by its content, as add() of the plain key made of it.
  void add_content(std::string_view content) {
    if (!host_) {
      native_.insert(content);
      return;
    }
    host::add(host_.get(), Keys::make(content).get());
  }
  // Membership of the plain key made of `content`.
  bool contains_content(std::string_view content) {
    if (!host_) return native_.contains(content);
    Ref key = Keys::make(content);
    return host::check(PySet_Contains(host_.get(), key.get())) != 0;
  }
  // The host set, once there is one (for the collector).
  PyObject* host_set() const { return host_.get(); }

 private:
  void move_to_host() {
    if (host_) return;
    Ref set = host::new_set();
    native_.for_each([&](std::string_view content) { host::add(set.get(), Keys::make(content).get()); });
    native_.clear();
    host_ = std::move(set);
  }

  ContentSet native_;
  Ref host_;
};

// Keys that are exact bytes: commit ids as the library gives them.
struct BytesKeys {
  static bool plain(PyObject* key) { return PyBytes_CheckExact(key); }
  static std::string_view content(PyObject* key) {
    return {PyBytes_AS_STRING(key), static_cast<std::size_t>(PyBytes_GET_SIZE(key))};
  }
  static Ref make(std::string_view content) { return host::bytes(content); }
};

// Keys that are exact ASCII str: id texts.
struct TextKeys {
  static bool plain(PyObject* key) { return PyUnicode_CheckExact(key) && PyUnicode_IS_ASCII(key); }
  static std::string_view content(PyObject* key) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))};
  }
  static Ref make(std::string_view content) { return host::text(content); }
};

using HostIdSet = HybridSet<BytesKeys>;
using HostIdTextSet = HybridSet<TextKeys>;

}  // namespace history
