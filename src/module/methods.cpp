#include "module/methods.h"

#include <utility>

#include "core/declines.h"
#include "core/service.h"
#include "diff/diff.h"
#include "history/history.h"
#include "refs/refs.h"
#include "status/status.h"

namespace module {

namespace {

using core::Service;
using host::Binding;
using host::Default;
using host::FunctionSpec;
using host::Kind;
using host::Param;
using host::Ref;

// One row of the table: the declaration and its body, whose parameters must
// match the declared ones in number. Every body reports the reads its call
// left to dulwich (core/declines.h).
template <auto F, std::size_t N>
constexpr FunctionSpec row(const char* name, const char* doc, Binding binding, const Param (&params)[N]) {
  static_assert(host::Adapt<F>::arity == N, "the table's parameters must match the body's");
  return {name, doc, binding, params, &core::reporting_declines<&host::Adapt<F>::body>};
}

template <auto F, std::size_t N>
constexpr FunctionSpec method(const char* name, const char* doc, const Param (&params)[N]) {
  return row<F>(name, doc, Binding::Method, params);
}

template <auto F>
constexpr FunctionSpec method(const char* name, const char* doc) {
  static_assert(host::Adapt<F>::arity == 0, "the table's parameters must match the body's");
  return {name, doc, Binding::Method, {}, &core::reporting_declines<&host::Adapt<F>::body>};
}

constexpr Param str(const char* name) { return {name, Kind::Str}; }
constexpr Param str_not_none(const char* name, const char* annotation) {
  return {name, Kind::Str, false, {}, annotation};
}
constexpr Param list_not_none(const char* name, const char* annotation) {
  return {name, Kind::List, false, {}, annotation};
}

constexpr Param kFindRepoRoot[] = {{"path", Kind::Object, true, {}, "Path"}};
constexpr Param kIterCommits[] = {{"head_sha", Kind::Bytes}, {"max_count", Kind::Int32}};
constexpr Param kBranch[] = {str("branch")};
constexpr Param kListCommits[] = {str("branch"),
                                  {"max_count", Kind::Int32, true, Default::integer(200)},
                                  {"skip", Kind::Int32, true, Default::integer(0)},
                                  {"show_full_history", Kind::Object, true, Default::boolean(false)}};
constexpr Param kMergeBase[] = {str("branch"), {"base_branch", Kind::Str, true, Default::string("main")}};
constexpr Param kCommitRefsFromLog[] = {str("branch"), {"commit_shas", Kind::List}};
constexpr Param kCommitSha[] = {str("commit_sha")};
constexpr Param kShaHex[] = {str("sha_hex")};
constexpr Param kFindInTree[] = {{"tree"}, {"path_parts"}};
constexpr Param kFilePath[] = {str("file_path")};
constexpr Param kHeadFileMap[] = {{"tree"}, {"base_path", Kind::Object, true, Default::string("")}};
constexpr Param kPathIgnored[] = {str_not_none("file_path", "str"), list_not_none("compiled_patterns", "list")};
constexpr Param kDirectoryIgnored[] = {str_not_none("dir_path", "str"), list_not_none("compiled_patterns", "list")};
constexpr Param kStashIndex[] = {{"stash_index", Kind::Int32}};
constexpr Param kState[] = {{"state"}};
constexpr Param kStartDir[] = {{"start_dir"}};
constexpr Param kUnpickleParams[] = {{"__pyx_type"}, {"__pyx_checksum"}, {"__pyx_state"}};

// The docstrings are the host's own texts, kept byte for byte with their
// claims and indentation ("10x faster", "CRITICAL: ..."): hosts show them.
const FunctionSpec kServiceMethods[] = {
    [] {
      auto spec = row<&core::find_repo_root>("_find_repo_root", nullptr, Binding::StaticMethod, kFindRepoRoot);
      spec.return_annotation = "Path";
      return spec;
    }(),
    method<&history::iter_commits_optimized>("_iter_commits_optimized",
                                             "Optimized commit iteration: breadth-first from a head, each commit once.",
                                             kIterCommits),
    method<&history::get_remote_commits>("_get_remote_commits",
                                         "Get the SHAs of the commits on the remote branch origin/<branch>.", kBranch),
    method<&history::list_commits>("list_commits", "List commits for a branch with their pushed status.", kListCommits),
    method<&history::count_commits>(
        "count_commits", "Count commits for a branch using Git's native command (fastest, no caching).", kBranch),
    method<&refs::list_branches>("list_branches", "List all local branches using git for-each-ref with timestamps."),
    method<&refs::list_remote_branches>("list_remote_branches",
                                        "List all remote branches using git for-each-ref with timestamps."),
    method<&refs::list_tags>("list_tags",
                             "List all tags using git for-each-ref with timestamps and messages.\n"
                             "        Optimized for large repositories (50k+ tags) using git for-each-ref.\n"
                             "        CRITICAL: Avoid per-tag subprocess calls to prevent segfaults with large repos.\n"
                             "        "),
    method<&history::get_merge_base>(
        "get_merge_base", "Find the merge-base (common ancestor) between branch and base_branch.", kMergeBase),
    method<&refs::get_commit_refs_from_git_log>(
        "get_commit_refs_from_git_log",
        "Get refs for many commits at once using git log (batch operation).\n"
        "        Uses git log with %D format to get refs in a single call instead of per-commit lookups.\n"
        "\n"
        "        Returns a dict mapping commit_sha -> refs dict.\n"
        "        ",
        kCommitRefsFromLog),
    method<&refs::get_commit_refs>("get_commit_refs", "Get branch references and metadata for a commit.", kCommitSha),
    method<&refs::get_branch_info>("get_branch_info", "Get information about a branch.", kBranch),
    method<&diff::get_commit_diff>("get_commit_diff",
                                   "Get diff for a commit using git-native command (avoids dulwich hex_to_sha issues).",
                                   kShaHex),
    method<&diff::find_in_tree>("_find_in_tree", "Recursively find file in tree and return its SHA.", kFindInTree),
    method<&status::is_ignored>("_is_ignored", "Check if a file is ignored by .gitignore rules.", kFilePath),
    method<&status::build_head_file_map>(
        "_build_head_file_map", "Build a file-to-SHA map from HEAD tree in a single pass (no caching).", kHeadFileMap),
    method<&status::compile_gitignore_patterns>("_compile_gitignore_patterns",
                                                "Compile .gitignore patterns once per call (no caching)."),
    [] {
      auto spec = method<&status::is_path_ignored>(
          "_is_path_ignored", "Check if a file path matches compiled .gitignore patterns.", kPathIgnored);
      spec.return_annotation = "bool";
      return spec;
    }(),
    [] {
      auto spec = method<&status::is_directory_ignored>(
          "_is_directory_ignored", "Check if a directory should be skipped (ignored).", kDirectoryIgnored);
      spec.return_annotation = "bool";
      return spec;
    }(),
    method<&status::get_file_status>(
        "get_file_status", "Optimized version using native git status --porcelain (10x faster than dulwich)."),
    method<&diff::list_stashes>("list_stashes",
                                "Get list of stashes using git stash list command.\n"
                                "        Optimized: Doesn't fetch SHA (lazy-loaded when needed for performance).\n"
                                "        "),
    method<&diff::get_stash_diff>("get_stash_diff",
                                  "\n"
                                  "        Get diff and stat for a stash using git stash show command.\n"
                                  "        Returns tuple of (diff_text, stat_text).\n"
                                  "        ",
                                  kStashIndex),
    method<&core::reduce>("__reduce__", nullptr),
    [] {
      auto spec = method<&core::setstate>("__setstate__", nullptr, kState);
      spec.calling = host::Calling::PositionalOnly;
      return spec;
    }(),
};

const FunctionSpec kInit = method<&core::init>("__init__", nullptr, kStartDir);

const FunctionSpec kUnpickle =
    row<&core::unpickle>("__pyx_unpickle_GitServiceCython", nullptr, Binding::Function, kUnpickleParams);

}  // namespace

std::span<const FunctionSpec> service_methods() { return kServiceMethods; }
const FunctionSpec& init_spec() { return kInit; }
const FunctionSpec& unpickle_spec() { return kUnpickle; }

}  // namespace module
