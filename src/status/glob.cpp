#include "status/glob.h"

namespace status {

namespace {

constexpr std::size_t npos = std::u32string::npos;

// What the host's expression parser makes of an escaped character inside a
// set: every escape the translation writes (of "\", "-", "&", "~", "|", "^"
// and "[") stands for the character itself. Escaped letters and digits mean
// something else to the parser and are not reproduced here.
bool escape_is_literal(char32_t ch) {
  const bool ascii_alnum = (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
  return !ascii_alnum;
}

// A chunk of a set as the translation writes it: "\" and "-" escaped.
void append_escaped_chunk(std::u32string& out, const std::u32string& chunk) {
  for (char32_t ch : chunk) {
    if (ch == U'\\' || ch == U'-') out += U'\\';
    out += ch;
  }
}

}  // namespace

Glob::Glob(const host::Text& pattern) {
  std::u32string pat(static_cast<std::size_t>(pattern.size()), U'\0');
  for (Py_ssize_t i = 0; i < pattern.size(); ++i) pat[static_cast<std::size_t>(i)] = pattern[i];

  runs_.push_back({0, 0});
  const std::size_t n = pat.size();
  std::size_t i = 0;
  while (i < n) {
    const char32_t c = pat[i++];
    if (c == U'*') {
      // Consecutive stars are one star.
      if (runs_.size() == 1 || runs_.back().size() != 0) {
        const auto here = static_cast<std::uint32_t>(elements_.size());
        runs_.push_back({here, here});
      }
    } else if (c == U'?') {
      add_element({Element::Kind::Any, 0, 0});
    } else if (c == U'[') {
      std::size_t j = i;
      if (j < n && pat[j] == U'!') ++j;
      if (j < n && pat[j] == U']') ++j;
      while (j < n && pat[j] != U']') ++j;
      if (j >= n) {
        // An unclosed "[" is an ordinary character; what follows is read on.
        add_element({Element::Kind::Literal, U'[', 0});
      } else {
        add_bracket(pat, i, j);
        i = j + 1;
      }
    } else {
      add_element({Element::Kind::Literal, static_cast<Py_UCS4>(c), 0});
    }
  }
}

// The set between pat[open - 1] == "[" and pat[close] == "]", written into
// the expression the way the host's translation writes it.
void Glob::add_bracket(const std::u32string& pat, std::size_t open, std::size_t close) {
  const std::u32string inner = pat.substr(open, close - open);
  std::u32string body;
  if (inner.find(U'-') == npos) {
    for (char32_t ch : inner) {
      if (ch == U'\\') body += U'\\';
      body += ch;
    }
  } else {
    // Split at the hyphens that make ranges; a hyphen first (after an
    // optional "!") or right after a range is an ordinary member.
    std::vector<std::u32string> chunks;
    std::size_t start = open;
    std::size_t from = pat[open] == U'!' ? open + 2 : open + 1;
    for (;;) {
      const std::size_t at = from < close ? pat.find(U'-', from) : npos;
      if (at == npos || at >= close) break;
      chunks.push_back(pat.substr(start, at - start));
      start = at + 1;
      from = at + 3;
    }
    if (start < close) {
      chunks.push_back(pat.substr(start, close - start));
    } else if (!chunks.empty()) {
      chunks.back() += U'-';
    } else {
      exact_ = false;
    }
    // Ranges whose ends are reversed are dropped, with their ends.
    for (std::size_t k = chunks.size(); k-- > 1;) {
      if (chunks[k - 1].empty() || chunks[k].empty()) {
        exact_ = false;
        break;
      }
      if (chunks[k - 1].back() > chunks[k].front()) {
        chunks[k - 1] = chunks[k - 1].substr(0, chunks[k - 1].size() - 1) + chunks[k].substr(1);
        chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(k));
      }
    }
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      if (k > 0) body += U'-';
      append_escaped_chunk(body, chunks[k]);
    }
  }
  // "&", "~" and "|" are escaped so that the parser never reads set operations.
  std::u32string escaped;
  for (char32_t ch : body) {
    if (ch == U'&' || ch == U'~' || ch == U'|') escaped += U'\\';
    escaped += ch;
  }

  if (escaped.empty()) {
    add_element({Element::Kind::Never, 0, 0});
  } else if (escaped == U"!") {
    add_element({Element::Kind::Any, 0, 0});
  } else {
    if (escaped[0] == U'!') {
      escaped[0] = U'^';
    } else if (escaped[0] == U'^' || escaped[0] == U'[') {
      escaped.insert(escaped.begin(), U'\\');
    }
    add_set(escaped);
  }
}

// Reads "[" + body + "]" as the host's expression parser reads a set.
void Glob::add_set(const std::u32string& body) {
  const std::u32string s = body + U']';
  std::size_t p = 0;
  // One member: a character or an escaped character.
  auto next = [&](char32_t& ch, bool& escaped) {
    if (p >= s.size()) return false;
    escaped = s[p] == U'\\';
    if (escaped) {
      if (p + 1 >= s.size()) return false;
      ch = s[p + 1];
      p += 2;
    } else {
      ch = s[p++];
    }
    return !escaped || escape_is_literal(ch);
  };

  CharSet set{false, {}};
  if (s[p] == U'^') {
    set.negated = true;
    ++p;
  }
  bool understood = false;
  for (;;) {
    char32_t low = 0;
    bool escaped = false;
    if (!next(low, escaped)) break;
    // "]" closes the set only once it has a member.
    if (!escaped && low == U']' && !set.ranges.empty()) {
      understood = p == s.size();
      break;
    }
    if (p < s.size() && s[p] == U'-') {
      ++p;
      char32_t high = 0;
      if (!next(high, escaped)) break;
      if (!escaped && high == U']') {
        set.ranges.push_back({static_cast<Py_UCS4>(low), static_cast<Py_UCS4>(low)});
        set.ranges.push_back({U'-', U'-'});
        understood = p == s.size();
        break;
      }
      if (high < low) break;
      set.ranges.push_back({static_cast<Py_UCS4>(low), static_cast<Py_UCS4>(high)});
    } else {
      set.ranges.push_back({static_cast<Py_UCS4>(low), static_cast<Py_UCS4>(low)});
    }
  }
  if (!understood) exact_ = false;
  sets_.push_back(std::move(set));
  add_element({Element::Kind::Set, 0, static_cast<std::uint32_t>(sets_.size() - 1)});
}

void Glob::add_element(Element element) {
  elements_.push_back(element);
  runs_.back().end = static_cast<std::uint32_t>(elements_.size());
}

bool Glob::element_matches(const Element& element, Py_UCS4 ch) const {
  switch (element.kind) {
    case Element::Kind::Literal:
      return ch == element.ch;
    case Element::Kind::Any:
      return true;
    case Element::Kind::Never:
      return false;
    case Element::Kind::Set: {
      const CharSet& set = sets_[element.set];
      bool member = false;
      for (const Range& range : set.ranges) {
        if (range.low <= ch && ch <= range.high) {
          member = true;
          break;
        }
      }
      return member != set.negated;
    }
  }
  return false;
}

bool Glob::run_matches_at(const Run& run, const host::Text& name, Py_ssize_t at) const {
  for (std::uint32_t k = run.begin; k < run.end; ++k) {
    if (!element_matches(elements_[k], name[at + (k - run.begin)])) return false;
  }
  return true;
}

bool Glob::matches(const host::Text& name) const {
  const Py_ssize_t n = name.size();
  const Run& head = runs_.front();
  if (runs_.size() == 1) return n == head.size() && run_matches_at(head, name, 0);
  if (n < head.size() || !run_matches_at(head, name, 0)) return false;
  Py_ssize_t pos = head.size();
  // A run between two stars is taken where it first occurs; nothing before
  // it is tried again.
  for (std::size_t r = 1; r + 1 < runs_.size(); ++r) {
    const Run& run = runs_[r];
    Py_ssize_t at = pos;
    while (at + run.size() <= n && !run_matches_at(run, name, at)) ++at;
    if (at + run.size() > n) return false;
    pos = at + run.size();
  }
  // The run after the last star must end the name (none: the star takes the rest).
  const Run& tail = runs_.back();
  if (tail.size() == 0) return true;
  return n - tail.size() >= pos && run_matches_at(tail, name, n - tail.size());
}

}  // namespace status
