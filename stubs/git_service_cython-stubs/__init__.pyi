"""Types of git_service_cython: the five result records and GitServiceCython."""

import os
import stat as stat
from collections.abc import Generator, Sequence
from dataclasses import dataclass as dataclass
from pathlib import Path as Path
from typing import Any, TypedDict, type_check_only

from dulwich.errors import NotGitRepository as NotGitRepository
from dulwich.objects import ShaFile, Tree
from dulwich.repo import Repo as Repo
from typing_extensions import disjoint_base

@dataclass
class BranchInfo:
    name: str
    head_sha: str
    timestamp: int = 0

@dataclass
class CommitInfo:
    sha: str
    summary: str
    author: str
    timestamp: int
    pushed: bool = False

@dataclass
class FileStatus:
    path: str
    status: str
    staged: bool
    unstaged: bool = False

@dataclass
class StashInfo:
    index: int
    branch: str
    message: str
    name: str
    sha: str
    timestamp: int = 0

@dataclass
class TagInfo:
    name: str
    message: str
    timestamp: int
    sha: str
    is_annotated: bool = False

@type_check_only
class RefsDict(TypedDict):
    """The refs that point at one commit, and whether it is HEAD or a merge."""

    branches: list[str]
    remote_branches: list[str]
    tags: list[str]
    is_head: bool
    is_merge: bool
    merge_parents: list[str]

@type_check_only
class BranchInfoDict(TypedDict):
    """One branch's head, tracking names and whether HEAD names it."""

    name: str | None
    head_sha: str | None
    remote_tracking: str | None
    upstream: str | None
    is_current: bool

@type_check_only
class GitignorePattern(TypedDict):
    """One compiled line of the repository's .gitignore."""

    pattern: str
    fnmatch_pattern: str
    is_negation: bool
    is_root: bool

@disjoint_base
class GitServiceCython:
    def __init__(self, start_dir: str | os.PathLike[str]) -> None: ...
    @staticmethod
    def _find_repo_root(path: Path) -> Path: ...
    def _iter_commits_optimized(
        self, head_sha: bytes | None, max_count: int
    ) -> Generator[tuple[bytes, ShaFile]]: ...
    def _get_remote_commits(self, branch: str | None) -> set[str]: ...
    def list_commits(
        self, branch: str | None, max_count: int = 200, skip: int = 0, show_full_history: object = False
    ) -> list[CommitInfo]: ...
    def count_commits(self, branch: str | None) -> int: ...
    def list_branches(self) -> list[BranchInfo]: ...
    def list_remote_branches(self) -> list[BranchInfo]: ...
    def list_tags(self) -> list[TagInfo]: ...
    def get_merge_base(self, branch: str | None, base_branch: str | None = "main") -> str | None: ...
    def get_commit_refs_from_git_log(
        self, branch: str | None, commit_shas: list[str] | None
    ) -> dict[str, RefsDict]: ...
    def get_commit_refs(self, commit_sha: str | None) -> RefsDict: ...
    def get_branch_info(self, branch: str | None) -> BranchInfoDict: ...
    def get_commit_diff(self, sha_hex: str | None) -> str: ...
    def _find_in_tree(self, tree: Tree, path_parts: Sequence[str]) -> bytes | None: ...
    def _is_ignored(self, file_path: str | None) -> bool: ...
    def _build_head_file_map(self, tree: Tree, base_path: str = "") -> dict[str, bytes]: ...
    def _compile_gitignore_patterns(self) -> list[GitignorePattern]: ...
    def _is_path_ignored(self, file_path: str, compiled_patterns: list[GitignorePattern]) -> bool: ...
    def _is_directory_ignored(self, dir_path: str, compiled_patterns: list[GitignorePattern]) -> bool: ...
    def get_file_status(self) -> list[FileStatus] | None: ...
    def list_stashes(self) -> list[StashInfo]: ...
    def get_stash_diff(self, stash_index: int) -> tuple[str, str]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

# The parameter names begin with two underscores at run time too; they may
# also be passed by keyword there.
def __pyx_unpickle_GitServiceCython(
    __pyx_type: type[GitServiceCython],  # noqa: PYI063
    __pyx_checksum: int,
    __pyx_state: tuple[Any, ...] | None,
) -> GitServiceCython: ...
