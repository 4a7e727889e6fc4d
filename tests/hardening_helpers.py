"""Shared by the hardening suites: a rich repository, damaged variants of it, a
catalogue of every public method with the arguments to call it with, stand-in
git programs, and snapshots of a repository's files."""

from __future__ import annotations

import os
import shutil
import subprocess
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import git_service_cython as gsc
from conftest import BASE_TIME, GIT_ENV, GitRepo, init_repo  # noqa: F401 - GIT_ENV is shared with the suites
from decline_reasons import NOTHING
from public_methods import CHANGES_THE_SERVICE, METHODS, Samples, sample_call

REAL_GIT = shutil.which("git")


# --- a repository that exercises every pane -----------------------------------------------------------


@dataclass
class Rich:
    """A repository with history on main and feature, tags, a remote-tracking
    branch, a stash and a dirty working tree; `ids` names its commits."""

    repo: GitRepo
    ids: dict[str, str] = field(default_factory=dict)

    @property
    def path(self) -> Path:
        return self.repo.path


def build_rich(path: Path) -> Rich:
    repo = init_repo(path)
    rich = Rich(repo)
    rich.ids["first"] = repo.commit("first", files={"a.txt": "one\n", "src/b.txt": "bee\n",
                                                    ".gitignore": "*.log\nbuild/\n"})
    rich.ids["second"] = repo.commit("second", files={"a.txt": "two\n"})
    repo.git("checkout", "-q", "-b", "feature")
    rich.ids["feature1"] = repo.commit("feature one", files={"f.txt": "f\n"})
    rich.ids["feature2"] = repo.commit("feature two", files={"f.txt": "ff\n"})
    repo.git("checkout", "-q", "main")
    rich.ids["main"] = repo.commit("third", files={"src/c.txt": "sea\n"})
    repo.git("update-ref", "refs/remotes/origin/main", rich.ids["second"])
    repo.git("tag", "light", rich.ids["first"])
    repo.git("tag", "-a", "annotated", "-m", "a tag", rich.ids["second"],
             env={"GIT_COMMITTER_DATE": f"{BASE_TIME + 30} +0000"})
    # An annotated tag whose subject is empty: the listing reads its body.
    repo.git("tag", "-a", "--cleanup=verbatim", "bodied", "-m", "\nbody line\n", rich.ids["main"],
             env={"GIT_COMMITTER_DATE": f"{BASE_TIME + 40} +0000"})
    repo.write("a.txt", "stashed\n")
    repo.git("stash", "push", "-q", "-m", "work in progress")
    repo.write("a.txt", "modified\n")
    repo.write("src/b.txt", "staged\n")
    repo.git("add", "src/b.txt")
    repo.write("new.txt", "untracked\n")
    repo.write("debug.log", "ignored\n")
    return rich


# --- damage -------------------------------------------------------------------------------------------


def object_path(repo: GitRepo, oid: str) -> Path:
    return repo.path / ".git" / "objects" / oid[:2] / oid[2:]


def write_ref_file(repo: GitRepo, name: bytes, content: bytes) -> None:
    target = bytes(repo.path / ".git") + b"/" + name
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as handle:
        handle.write(content)


def blob_of(repo: GitRepo, relpath: str, rev: str = "HEAD") -> str:
    return repo.git("rev-parse", f"{rev}:{relpath}")


def raw_commit(repo: GitRepo, *, message: bytes, author: bytes, parent: str | None = None) -> str:
    """A commit object written byte for byte (not necessarily valid UTF-8)."""
    tree = repo.git("rev-parse", "HEAD^{tree}")
    lines = [b"tree " + tree.encode()]
    if parent:
        lines.append(b"parent " + parent.encode())
    lines.append(b"author " + author + b" %d +0000" % (BASE_TIME + 5000))
    lines.append(b"committer " + author + b" %d +0000" % (BASE_TIME + 5000))
    body = b"\n".join(lines) + b"\n\n" + message
    return repo.git("hash-object", "-t", "commit", "-w", "--stdin", "--literally", input=body).decode().strip()


def raw_tag(repo: GitRepo, name: bytes, target: str, message: bytes) -> str:
    body = (b"object " + target.encode() + b"\ntype commit\ntag " + name
            + b"\ntagger Ann Author <ann@example.com> %d +0000\n\n" % (BASE_TIME + 6000) + message)
    return repo.git("hash-object", "-t", "tag", "-w", "--stdin", input=body).decode().strip()


def damage_truncated_index(rich: Rich) -> None:
    index = rich.path / ".git" / "index"
    data = index.read_bytes()
    index.write_bytes(data[: len(data) // 2])


def damage_index_signature(rich: Rich) -> None:
    index = rich.path / ".git" / "index"
    data = index.read_bytes()
    index.write_bytes(b"XIRC" + data[4:])


def damage_index_version(rich: Rich) -> None:
    index = rich.path / ".git" / "index"
    data = index.read_bytes()
    index.write_bytes(data[:4] + (99).to_bytes(4, "big") + data[8:])


def damage_missing_commit(rich: Rich) -> None:
    object_path(rich.repo, rich.ids["second"]).unlink()


def damage_missing_blob(rich: Rich) -> None:
    object_path(rich.repo, blob_of(rich.repo, "src/c.txt")).unlink()


def damage_corrupt_object(rich: Rich) -> None:
    path = object_path(rich.repo, rich.ids["main"])
    path.chmod(0o644)
    path.write_bytes(zlib.compress(b"commit 12\0not a commit") + b"trailing garbage")


def repack(rich: Rich) -> Path:
    rich.repo.git("repack", "-a", "-d", "-q")
    rich.repo.git("prune-packed")
    [pack] = (rich.path / ".git" / "objects" / "pack").glob("*.pack")
    return pack


def damage_missing_pack(rich: Rich) -> None:
    repack(rich).unlink()


def damage_missing_pack_and_index(rich: Rich) -> None:
    pack = repack(rich)
    pack.unlink()
    pack.with_suffix(".idx").unlink()


def damage_truncated_pack(rich: Rich) -> None:
    pack = repack(rich)
    data = pack.read_bytes()
    pack.chmod(0o644)
    pack.write_bytes(data[: len(data) // 2])


def damage_branch_at_blob(rich: Rich) -> None:
    write_ref_file(rich.repo, b"refs/heads/main", blob_of(rich.repo, "a.txt").encode() + b"\n")


def damage_branch_at_tree(rich: Rich) -> None:
    tree = rich.repo.git("rev-parse", "HEAD^{tree}")
    write_ref_file(rich.repo, b"refs/heads/main", tree.encode() + b"\n")


def damage_branch_at_tag_object(rich: Rich) -> None:
    tag = rich.repo.git("rev-parse", "refs/tags/annotated")
    write_ref_file(rich.repo, b"refs/heads/feature", tag.encode() + b"\n")


def damage_symref_loop(rich: Rich) -> None:
    write_ref_file(rich.repo, b"refs/heads/main", b"ref: refs/heads/loop\n")
    write_ref_file(rich.repo, b"refs/heads/loop", b"ref: refs/heads/main\n")


def damage_dangling_symref(rich: Rich) -> None:
    write_ref_file(rich.repo, b"refs/heads/dangling", b"ref: refs/heads/nowhere\n")
    write_ref_file(rich.repo, b"refs/remotes/origin/HEAD", b"ref: refs/remotes/origin/gone\n")


def damage_dangling_head(rich: Rich) -> None:
    write_ref_file(rich.repo, b"HEAD", b"ref: refs/heads/nowhere\n")


def damage_garbage_head(rich: Rich) -> None:
    write_ref_file(rich.repo, b"HEAD", b"\xff\xfe garbage\n")


def damage_garbage_packed_refs(rich: Rich) -> None:
    rich.repo.git("pack-refs", "--all")
    write_ref_file(rich.repo, b"packed-refs", b"# pack-refs with: peeled\nnot a ref line\n\xff\xfe\n")


def damage_non_utf8_ref_names(rich: Rich) -> None:
    for name in (b"refs/heads/caf\xe9", b"refs/remotes/origin/caf\xe9", b"refs/tags/caf\xe9"):
        write_ref_file(rich.repo, name, rich.ids["main"].encode() + b"\n")


def damage_non_utf8_file_names(rich: Rich) -> None:
    root = bytes(rich.path)
    for name in (b"caf\xe9.txt", b"dir\xff/inner.txt"):
        os.makedirs(os.path.dirname(root + b"/" + name), exist_ok=True)
        with open(root + b"/" + name, "wb") as handle:
            handle.write(b"latin-1 name\n")
    subprocess.run(["git", "add", "-A"], cwd=rich.path, check=True, capture_output=True)
    subprocess.run(["git", "commit", "-q", "-m", "bytes names"], cwd=rich.path, check=True, capture_output=True)
    with open(root + b"/untracked\xfe.txt", "wb") as handle:
        handle.write(b"x\n")
    rich.ids["main"] = rich.repo.head()


def damage_non_utf8_commits(rich: Rich) -> None:
    commit = raw_commit(rich.repo, message=b"caf\xe9 summary \xff\r\nbody \xfe\n",
                        author=b"Ann \xe9\xff <ann@example.com>", parent=rich.ids["main"])
    rich.repo.git("update-ref", "refs/heads/main", commit)
    rich.ids["main"] = commit


def damage_non_utf8_tags(rich: Rich) -> None:
    tag = raw_tag(rich.repo, b"latin", rich.ids["main"], b"caf\xe9 subject \xff|x\n\nbody\n")
    rich.repo.git("update-ref", "refs/tags/latin", tag)
    empty = raw_tag(rich.repo, b"latin-body", rich.ids["main"], b"\n\xe9\xff body only\n")
    rich.repo.git("update-ref", "refs/tags/latin-body", empty)


def damage_non_utf8_contents(rich: Rich) -> None:
    rich.ids["main"] = rich.repo.commit("latin-1 content", files={"latin.txt": b"caf\xe9\n"})
    rich.repo.write("latin.txt", b"th\xe9\n")
    rich.repo.git("stash", "push", "-q", "-m", "latin-1 change")


def damage_big_directory(rich: Rich) -> None:
    many = rich.path / "many"
    many.mkdir()
    for i in range(20_000):
        (many / f"f{i:05d}").touch()


def damage_malformed_gitignore(rich: Rich) -> None:
    lines = ["[", "[abc", "[!", "[]", "[!]", "]", "*" * 5000, "a" + "*" * 2000 + "b", "*a" * 500,
             "!", "!!", "\\", "/", "!/", "**/**/**", "[z-a]", "[\\]", "?" * 300, "\x00", "\udcff"]
    (rich.path / ".gitignore").write_bytes("\n".join(lines).encode("utf-8", "surrogateescape") + b"\n")
    for name in ("[", "a" * 200 + "b", "x" * 250):
        rich.repo.write(name, "x\n")


def damage_deleted(rich: Rich) -> None:
    shutil.rmtree(rich.path)


def damage_moved(rich: Rich) -> None:
    rich.path.rename(rich.path.with_name(rich.path.name + "-moved"))


def damage_git_dir_emptied(rich: Rich) -> None:
    git_dir = rich.path / ".git"
    shutil.rmtree(git_dir)
    git_dir.mkdir()


# Damage done before the service is built, and damage done after it, each with what the native road
# declines for it without git (decline_reasons): a reason, several, or NOTHING where the store reads the
# damaged repository as dulwich does.
MISSING_OBJECTS = ("commit: not in the store", "tree: not in the store")
NOT_A_COMMIT = "commit: an object of another type"

BEFORE = {
    "truncated index": (damage_truncated_index, "index: more entries than the file holds"),
    "index with a wrong signature": (damage_index_signature, "index: no DIRC header"),
    "index with a wrong version": (damage_index_version, "index: a version other than 2, 3 or 4"),
    "missing loose commit": (damage_missing_commit, "commit: not in the store"),
    "missing loose blob": (damage_missing_blob, NOTHING),
    "corrupt loose object": (damage_corrupt_object, "loose object: bytes after the zlib stream"),
    # A pack without its index, or neither, is no pack to dulwich either.
    "missing pack": (damage_missing_pack, MISSING_OBJECTS),
    "missing pack and pack index": (damage_missing_pack_and_index, MISSING_OBJECTS),
    "truncated pack": (damage_truncated_pack, "pack: checksum differs from the one its index records"),
    "branch at a blob": (damage_branch_at_blob, NOT_A_COMMIT),
    "branch at a tree": (damage_branch_at_tree, NOT_A_COMMIT),
    "branch at a tag object": (damage_branch_at_tag_object, NOT_A_COMMIT),
    "symbolic-ref loop": (damage_symref_loop, "symbolic refs: a chain dulwich calls a loop"),
    "dangling symbolic refs": (damage_dangling_symref, NOTHING),
    "HEAD naming a missing branch": (damage_dangling_head, NOTHING),
    "garbage in HEAD": (damage_garbage_head, "loose ref: neither an id nor a symbolic ref"),
    "garbage in packed-refs": (damage_garbage_packed_refs, "packed-refs: line 2 malformed"),
    "ref names not UTF-8": (damage_non_utf8_ref_names, NOTHING),
    "file names not UTF-8": (damage_non_utf8_file_names, NOTHING),
    "messages and authors not UTF-8": (damage_non_utf8_commits, NOTHING),
    "tag subjects not UTF-8": (damage_non_utf8_tags, NOTHING),
    "file contents not UTF-8": (damage_non_utf8_contents, NOTHING),
    "directory of 20,000 entries": (damage_big_directory, NOTHING),
    "malformed ignore patterns": (damage_malformed_gitignore, NOTHING),
}
# The objects are gone with the repository: every read finds nothing, as dulwich does.
AFTER = {
    "repository deleted": (damage_deleted, MISSING_OBJECTS),
    "repository moved": (damage_moved, MISSING_OBJECTS),
    ".git emptied": (damage_git_dir_emptied, MISSING_OBJECTS),
}


# --- every public method, with arguments that reach its work ------------------------------------------


def intact_trees(rich: Rich) -> dict[str, object]:
    """HEAD's tree and its "src" subtree, read while the repository is intact."""
    from dulwich.repo import Repo

    with Repo(str(rich.path)) as repo:
        tree = repo[repo[rich.ids["main"].encode()].tree]
        src = repo[tree[b"src"][1]]
    return {"tree": tree, "src": src}


def method_calls(rich: Rich, trees: dict[str, object]) -> dict[str, object]:
    """name -> function(service) making one call of each public method as a pane would."""
    ids = rich.ids
    samples = Samples(commit=ids["main"], shas=[ids["main"], ids["second"].upper(), ids["feature2"], "0" * 40,
                                                "not an id"],
                      tree=trees["tree"], path_parts=["src", "b.txt"], root=rich.path)
    calls = {name: sample_call(name, samples) for name in METHODS if name not in CHANGES_THE_SERVICE}
    # Two more roads of the history pane: a feature branch, in the full-history view.
    calls["list_commits main"] = calls.pop("list_commits")
    calls["list_commits feature"] = lambda s: s.list_commits("feature", show_full_history=True)
    calls["count_commits main"] = calls.pop("count_commits")
    calls["count_commits feature"] = lambda s: s.count_commits("feature")
    return calls


# --- what a result may look like -----------------------------------------------------------------------

HEX = set("0123456789abcdef")
REFS_KEYS = ["branches", "remote_branches", "tags", "is_head", "is_merge", "merge_parents"]
BRANCH_INFO_KEYS = ["name", "head_sha", "remote_tracking", "upstream", "is_current"]
PATTERN_KEYS = ["pattern", "fnmatch_pattern", "is_negation", "is_root"]
FILE_STATUSES = {"deleted", "untracked", "staged", "renamed", "copied", "modified"}

# Texts of errors the module raises about its own internals; none of them may
# ever reach a caller.
INTERNAL_ERROR_TEXTS = ("expected str, got", "expected a bytes id", "lower() did not return",
                        "wrong number of record fields", "keyword values do not match",
                        "error reported without a host exception set", "unexpected C++ exception")


def is_id_text(value) -> bool:
    return type(value) is str and len(value) == 40 and set(value) <= HEX


def listing_key(record):
    return (record.timestamp == 0, -record.timestamp, record.name.lower())


def records_of(value, cls, **field_types) -> bool:
    return type(value) is list and all(
        type(record) is cls and all(type(getattr(record, name)) is kind for name, kind in field_types.items())
        for record in value)


def refs_dict_ok(value) -> bool:
    return (type(value) is dict and list(value) == REFS_KEYS
            and all(type(value[key]) is list and all(type(name) is str for name in value[key])
                    for key in ("branches", "remote_branches", "tags", "merge_parents"))
            and type(value["is_head"]) is bool and type(value["is_merge"]) is bool
            and all(len(set(value[key])) == len(value[key]) for key in ("branches", "remote_branches", "tags")))


def shape_ok(method: str, value) -> bool:
    """Whether `value` has the shape `method` (a catalogue name) answers with."""
    name = method.split()[0]
    if name == "_iter_commits_optimized":
        return type(value) is list and all(type(item) is bytes for item in value)
    if name == "_get_remote_commits":
        return type(value) is set and all(is_id_text(item) for item in value)
    if name == "list_commits":
        return records_of(value, gsc.CommitInfo, sha=str, summary=str, author=str, timestamp=int, pushed=bool) and all(
            is_id_text(record.sha) for record in value)
    if name == "count_commits":
        return type(value) is int and value >= 0
    if name in ("list_branches", "list_remote_branches"):
        return records_of(value, gsc.BranchInfo, name=str, head_sha=str, timestamp=int) and value == sorted(
            value, key=listing_key)
    if name == "list_tags":
        return records_of(value, gsc.TagInfo, name=str, message=str, timestamp=int, sha=str,
                          is_annotated=bool) and value == sorted(value, key=listing_key)
    if name == "get_merge_base":
        return value is None or type(value) is str
    if name == "get_commit_refs_from_git_log":
        return type(value) is dict and all(refs_dict_ok(entry) for entry in value.values())
    if name == "get_commit_refs":
        return refs_dict_ok(value)
    if name == "get_branch_info":
        return (type(value) is dict and list(value) == BRANCH_INFO_KEYS
                and (value["head_sha"] is None or type(value["head_sha"]) is str)
                and value["remote_tracking"] in (None, "origin/" + str(value["name"]))
                and value["upstream"] in (None, value["name"]) and type(value["is_current"]) is bool)
    if name == "get_commit_diff":
        return type(value) is str and (not value.startswith("Error: ") or value.endswith("\n"))
    if name == "_find_in_tree":
        return value is None or type(value) is bytes
    if name in ("_is_ignored", "_is_path_ignored", "_is_directory_ignored"):
        return type(value) is bool
    if name == "_build_head_file_map":
        return type(value) is dict and all(type(k) is str and type(v) is bytes for k, v in value.items())
    if name == "_compile_gitignore_patterns":
        return type(value) is list and all(type(r) is dict and list(r) == PATTERN_KEYS for r in value)
    if name == "get_file_status":
        return value is None or (
            records_of(value, gsc.FileStatus, path=str, status=str, staged=bool, unstaged=bool)
            and all(record.status in FILE_STATUSES for record in value)
            and [record.path for record in value] == sorted(record.path for record in value))
    if name == "list_stashes":
        return records_of(value, gsc.StashInfo, index=int, branch=str, message=str, name=str, sha=str,
                          timestamp=int) and all(record.sha == "" for record in value)
    if name == "get_stash_diff":
        return type(value) is tuple and len(value) == 2 and all(type(text) is str for text in value)
    if name == "_find_repo_root":
        return isinstance(value, Path)
    if name == "__reduce__":
        return type(value) is tuple and len(value) in (2, 3)
    raise AssertionError(f"no shape for {method}: add it to shape_ok in tests/hardening_helpers.py")


# Methods that state they never raise for anything a repository holds: every
# failure becomes a value. The others let the library's exceptions through
# from their unguarded steps.
NEVER_RAISE = {"_get_remote_commits", "list_tags", "get_commit_refs_from_git_log", "get_commit_refs",
               "get_branch_info", "get_commit_diff", "_is_ignored", "_compile_gitignore_patterns",
               "_is_path_ignored", "_is_directory_ignored", "list_stashes", "get_stash_diff", "__reduce__"}


def complaint(method: str, outcome) -> str | None:
    """What is wrong with one call's outcome (a value, or the exception it raised); None when nothing."""
    if isinstance(outcome, BaseException):
        if isinstance(outcome, SystemError) or not isinstance(outcome, Exception):
            return f"raised {outcome!r}"
        if any(text in str(outcome) for text in INTERNAL_ERROR_TEXTS):
            return f"leaked an internal error {outcome!r}"
        if method.split()[0] in NEVER_RAISE:
            return f"raised {outcome!r}, but never raises"
        return None
    if not shape_ok(method, outcome):
        return f"answered {outcome!r:.300}"
    return None


def call_all(service, calls: dict) -> dict:
    """name -> the value each call gave, or the exception it raised."""
    outcomes = {}
    for name, call in calls.items():
        try:
            outcomes[name] = call(service)
        except Exception as error:  # noqa: BLE001 - every outcome is judged by complaint()
            outcomes[name] = error
    return outcomes


# --- the ignore rules in plain Python, as the status pane states them ---------------------------------


def reference_compile(lines: list[str]) -> list[dict]:
    compiled = []
    for line in lines:
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        is_negation = line.startswith("!")
        if is_negation:
            line = line[1:].strip()
        if not line:
            continue
        pattern = line.rstrip("/")
        compiled.append({"pattern": pattern, "fnmatch_pattern": pattern.replace("**", "*"),
                         "is_negation": is_negation, "is_root": pattern.startswith("/")})
    return compiled


def reference_is_path_ignored(file_path: str, compiled: list[dict]) -> bool:
    import fnmatch

    if not compiled:
        return False
    normalized = file_path.replace("\\", "/")
    parts = normalized.split("/")
    ignored = False
    for record in compiled:
        pattern, fn_pattern = record["pattern"], record["fnmatch_pattern"]
        if record["is_root"]:
            root_pattern = pattern.removeprefix("/")
            root_fnmatch = fn_pattern.removeprefix("/")
            matched = fnmatch.fnmatch(normalized, root_fnmatch) or normalized.startswith(root_pattern + "/")
        else:
            matched = fnmatch.fnmatch(normalized, fn_pattern) or any(
                fnmatch.fnmatch("/".join(parts[i:]), fn_pattern) or fnmatch.fnmatch(parts[i], fn_pattern)
                for i in range(len(parts)))
        if matched:
            ignored = not record["is_negation"]
    return ignored


# --- running a call in a child interpreter -------------------------------------------------------------


def run_child(script: str, *, timeout: float, env: dict | None = None) -> subprocess.CompletedProcess:
    """Runs `script` in a fresh interpreter (with this one's environment, so
    a sanitizer build stays loaded), for calls that must not be able to hang
    or exhaust the test process. The timeout is widened by `slowdown()`: an
    emulated interpreter takes most of a minute to start and import."""
    import sys

    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=timeout * slowdown(),
                          env={**os.environ, **(env or {})}, check=False)


def slowdown() -> float:
    """How many times slower than natively this run goes: GSC_SLOWDOWN, 1 by
    default, set by the run under emulation (`make arm64-module-check`). The
    allowances the tests give their own measurements are multiplied by it,
    never the module's time limits."""
    return float(os.environ.get("GSC_SLOWDOWN", "1"))


def long_run() -> bool:
    """True under `make fuzz`, which selects the long fuzzing profile and the
    tests too slow for every run."""
    return os.environ.get("HYPOTHESIS_PROFILE") == "fuzz"


# --- a stand-in git program ---------------------------------------------------------------------------


def stand_in_git(directory: Path, answers: dict[str, tuple[str, int]] | None = None, *,
                 pid_file: Path | None = None, otherwise: str = "exec sleep 600") -> Path:
    """Writes an executable `git` into `directory` and returns the directory.

    `answers` maps a shell pattern of the arguments ("$*") to the output and
    exit status given at once; any other command runs `otherwise` (by
    default it sleeps far past every time limit, as `exec sleep`, so that
    killing it leaves no process behind). Each run appends its process id
    to `pid_file`."""
    import shlex

    lines = ["#!/bin/sh"]
    if pid_file is not None:
        lines.append(f"echo $$ >> {shlex.quote(str(pid_file))}")
    lines.append('case "$*" in')
    for pattern, (output, status) in (answers or {}).items():
        lines.append(f"  {pattern}) printf '%s' {shlex.quote(output)}; exit {status} ;;")
    lines.append("esac")
    lines.append(otherwise)
    directory.mkdir(parents=True, exist_ok=True)
    git = directory / "git"
    git.write_text("\n".join(lines) + "\n")
    git.chmod(0o755)
    return directory


def children_of(pid: int) -> list[int]:
    """The processes whose parent is `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found
