// Repositories nested in a working tree (submodules, linked worktrees, any
// repository a user cloned inside another): the commit a nested repository
// has checked out, read from its files without git.
#pragma once

#include <optional>
#include <string>

#include "store/object_id.h"

namespace status {

// The commit HEAD names in the repository whose working tree is `directory`
// (its `.git` a directory, or a file `gitdir: <path>` naming one), as git
// resolves a submodule's HEAD: through symbolic refs (five at most), each
// read from its loose file (under the common directory of a linked
// worktree), else from `packed-refs`. Nothing when it cannot be resolved: no
// repository there, an unborn branch, a ref that is neither an id nor a
// plain name under refs/, a chain too long, an id not of `format`.
std::optional<store::ObjectId> nested_head(const std::string& directory, store::HashFormat format);

// The digits of a SHA-256 id (the form git writes it in a repository of that
// format).
inline constexpr std::size_t kLongIdDigits = 64;

// The same for a repository whose ids are SHA-256 ones: the 64 digits of the
// commit HEAD names, in lower case.
std::optional<std::string> nested_long_head(const std::string& directory);

}  // namespace status
