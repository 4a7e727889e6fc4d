// Positions in the commit-graph. A graph numbers its commits across all its
// layers, the base layer's first; each layer's file numbers its own rows from
// 0. Each kind of number is a type of its own, so that one cannot be passed
// where the other is meant: they convert into each other only through the
// layer that holds the row (commit_graph.cpp). A number read from a file is
// neither until it was checked against the graph's size.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>

namespace store {

// A commit's position across all layers of a commit-graph, base layer first.
class GraphPosition {
 public:
  constexpr explicit GraphPosition(std::uint32_t number) : number_(number) {}
  // The number, for indexing what is kept per position.
  constexpr std::uint32_t value() const { return number_; }
  friend constexpr auto operator<=>(GraphPosition, GraphPosition) = default;

 private:
  std::uint32_t number_;
};

// A row's number within one layer's file.
class LayerRow {
 public:
  constexpr explicit LayerRow(std::uint32_t number) : number_(number) {}
  // The number, for indexing the file's tables and what is kept per row.
  constexpr std::uint32_t value() const { return number_; }
  friend constexpr auto operator<=>(LayerRow, LayerRow) = default;

 private:
  std::uint32_t number_;
};

// A graph position or none, as the commits of a walk carry it: read like a
// std::optional<GraphPosition> (ask whether there is one, then `*` or `->`),
// but in the four bytes of a position, where std::optional takes eight. A
// walk copies each commit through its queue, and a commit with this is as
// large as it was with a bare number (40 bytes with its id, against 44). None
// is kept as a number no graph hands out (a graph refuses 0x70000000 commits
// or more), so a position taken from none by mistake lies outside every
// graph, and every check of a position against a graph's size turns it away.
class OptionalPosition {
 public:
  constexpr OptionalPosition() = default;
  constexpr OptionalPosition(std::nullopt_t) {}
  constexpr OptionalPosition(GraphPosition position) : position_(position) {}
  constexpr OptionalPosition(std::optional<GraphPosition> position) : position_(position.value_or(kNone)) {}

  constexpr bool has_value() const { return position_ != kNone; }
  constexpr explicit operator bool() const { return has_value(); }
  constexpr const GraphPosition& operator*() const { return position_; }
  constexpr const GraphPosition* operator->() const { return &position_; }

 private:
  static constexpr GraphPosition kNone{UINT32_MAX};
  GraphPosition position_ = kNone;
};
static_assert(sizeof(OptionalPosition) == sizeof(std::uint32_t), "a walk's commits stay as small as they were");

}  // namespace store
