// Shell-style patterns matched natively, with the answers of the host's
// `fnmatch.fnmatch` on POSIX.
//
// The host turns a pattern into a regular expression (`fnmatch.translate`)
// and matches names against it. `Glob` follows the same translation step by
// step — "*" runs, "?", "[...]" sets with "!" negation and "]" as a first
// member, ranges with reversed ones dropped, an unclosed "[" read as a
// literal, backslashes literal — and reads the resulting character sets as
// the host's regular-expression parser reads them. Matching then does what
// the translated expression does: each fixed run between two stars is taken
// at its first occurrence (the host wraps it in an atomic group), and the run
// after the last star must end the name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/text.h"

namespace status {

class Glob {
 public:
  explicit Glob(const host::Text& pattern);

  // fnmatch.fnmatch(name, pattern) for the pattern this was made from.
  bool matches(const host::Text& name) const;

  // False when the pattern produced a character set this reading does not
  // reproduce with certainty; the caller then asks the host instead. No
  // pattern the host's own translation produces is known to do this.
  bool exact() const { return exact_; }

 private:
  struct Range {
    Py_UCS4 low;
    Py_UCS4 high;
  };
  struct CharSet {
    bool negated;
    std::vector<Range> ranges;
  };
  // One element of a fixed run: each matches exactly one character.
  struct Element {
    enum class Kind : std::uint8_t { Literal, Any, Set, Never };
    Kind kind;
    Py_UCS4 ch;         // Literal
    std::uint32_t set;  // Set: index into sets_
  };
  // A fixed run of elements: [begin, end) in elements_.
  struct Run {
    std::uint32_t begin;
    std::uint32_t end;
    std::uint32_t size() const { return end - begin; }
  };

  void add_element(Element element);
  void add_bracket(const std::u32string& pattern, std::size_t open, std::size_t close);
  void add_set(const std::u32string& regex_set);
  bool element_matches(const Element& element, Py_UCS4 ch) const;
  bool run_matches_at(const Run& run, const host::Text& name, Py_ssize_t at) const;

  std::vector<Element> elements_;
  std::vector<CharSet> sets_;
  // runs_[0] comes before the first star; each later run follows one star.
  std::vector<Run> runs_;
  bool exact_ = true;
};

}  // namespace status
