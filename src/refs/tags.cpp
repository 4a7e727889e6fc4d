// The tag listing: every tag from one `git for-each-ref` run, read as bytes
// and decoded once. Tens of thousands of tags are the case it is built for,
// so a second git process runs only for an annotated tag whose subject is
// empty.
#include "core/git.h"
#include "refs/ref_line.h"
#include "refs/refs.h"

namespace refs {

namespace git = core::git;

namespace {

constexpr const char* kTagFormat =
    "--format=%(refname:short)|%(objectname)|%(creatordate:unix)|%(contents:subject)|%(objecttype)";

// The message of a tag object as `git cat-file tag` prints it: the lines
// after the header block (which ends at the first empty line) up to a line
// opening a PGP signature, joined and stripped. Null when no line follows
// the header.
Ref message_of_tag_object(Text object) {
  bool in_message = false;
  Py_ssize_t begin = Text::npos;
  Py_ssize_t end = 0;
  Py_ssize_t start = 0;
  for (;;) {
    const Py_ssize_t newline = object.find('\n', start);
    const Py_ssize_t stop = newline == Text::npos ? object.size() : newline;
    Text line = object.slice(start, stop);
    if (line.starts_with("-----BEGIN PGP")) break;
    if (in_message) {
      if (begin == Text::npos) begin = start;
      end = stop;
    } else if (line.empty()) {
      in_message = true;
    }
    if (newline == Text::npos) break;
    start = newline + 1;
  }
  if (begin == Text::npos) return Ref();
  // The kept lines are contiguous, so joining them with "\n" gives back
  // this slice of the output.
  return object.slice(begin, end).strip().str();
}

// The full-message step, capped at one second: "" whenever git fails.
Ref full_message(const git::Runner& git_runner, PyObject* tag_name) {
  try {
    git::Command command{"cat-file", "tag"};
    command.value(tag_name);
    git::Result result = git_runner.run(command, git::Limit::TagMessage);
    if (result.ok()) {
      Ref output = result.stdout_();
      if (Ref message = message_of_tag_object(Text(output.get()))) return message;
    }
  } catch (const host::Error&) {
    host::except_exception();
  }
  return host::text("");
}

// One tag from one line of output; nothing for a line without a name.
void add_tag(const git::Runner& git_runner, const RefLine& line, Records& records, Listing& listing) {
  Text name_text = line.field(0);
  if (name_text.empty()) return;
  Ref name = name_text.str();
  Ref sha = line.field(1).str();
  Text timestamp_text = line.field(2);
  Text subject = line.field(3);
  const bool is_annotated = line.field(4).equals("tag");
  Timestamp timestamp = Timestamp::parse(timestamp_text);
  Ref message = is_annotated && subject.empty() ? full_message(git_runner, name.get()) : subject.str();
  Ref record =
      records.make({name.get(), message.get(), timestamp.object().get(), sha.get(), host::boolean(is_annotated)});
  listing.add(std::move(record), name.get(), std::move(timestamp));
}

// The main step. A line that cannot be read is left out on its own; any
// other exception leaves this function for the name-only fallback.
void list_tags_from_git(const git::Runner& git_runner, Listing& listing) {
  git::Result result = git_runner.run(git::Command{"for-each-ref", "refs/tags/", kTagFormat}, git::Limit::TagListing,
                                      git::Output::Bytes);
  if (!result.ok()) return;
  Ref output = host::decode_utf8_replace(result.stdout_().get());
  Text lines(output.get());
  listing.reserve(count_lines(lines));
  Records records(core::Record::TagInfo);
  for_each_ref_line(lines, [&](const RefLine& line) {
    try {
      add_tag(git_runner, line, records, listing);
    } catch (const host::Error&) {
      host::except_exception();
    }
  });
}

// The name-only fallback: `git tag -l`, names alone. Failures are ignored.
void list_tag_names(const git::Runner& git_runner, Listing& listing) {
  try {
    git::Result result = git_runner.run(git::Command{"tag", "-l"}, git::Limit::TagNames);
    if (!result.ok()) return;
    Ref output = host::strip(result.stdout_().get());
    Ref empty = host::text("");
    Ref zero = host::integer(0);
    Records records(core::Record::TagInfo);
    Text(output.get()).split('\n', [&](Text piece) {
      Text name_text = piece.strip();
      if (name_text.empty()) return;
      Ref name = name_text.str();
      Ref record = records.make({name.get(), empty.get(), zero.get(), empty.get(), Py_False});
      listing.add(std::move(record), name.get(), Timestamp());
    });
  } catch (const host::Error&) {
    host::except_exception();
  }
}

}  // namespace

Ref list_tags(Service& self) {
  const git::Runner git_runner(self);
  Listing listing;
  list_from_git_or(
      listing, [&](Listing& records) { list_tags_from_git(git_runner, records); },
      [&](Listing& records) { list_tag_names(git_runner, records); });
  return listing.sorted();
}

}  // namespace refs
