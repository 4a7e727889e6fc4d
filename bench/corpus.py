"""Builds the benchmark repositories: deterministic, quick to make, kept outside the source tree.

Every repository is made with `git fast-import` and `git update-ref --stdin`
from fixed identities, dates and a seeded random generator, so two builds at
one scale hold the same objects and refs. A finished repository carries a
marker file; later runs reuse it.

The histories come in three kinds: `history-main` and `history-master` carry
a commit-graph file, as repositories that git maintains do (`git gc` and
`git maintenance` write one), and `history-plain` is `history-main` without
it, so that both situations are measured.

Some repositories have a SHA-256 twin (`history-main-sha256` beside
`history-main`, ...): the same histories, refs and working trees made in a
repository of git's SHA-256 object format (`git init --object-format=sha256`),
so that the rows that read objects natively are measured in both formats.

    python bench/corpus.py [--scale tiny|quick|full] [--root DIR]
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import random
import shutil
import subprocess
import tempfile
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path

VERSION = 3  # bump when what is built changes, so old corpora are rebuilt
BASE_TIME = 1_600_000_000
AUTHOR = "Ann Author <ann@example.com>"
COMMITTER = "Carl Committer <carl@example.com>"
GIT_ENV = {
    "GIT_CONFIG_GLOBAL": os.devnull,
    "GIT_CONFIG_NOSYSTEM": "1",
    "GIT_AUTHOR_NAME": "Ann Author",
    "GIT_AUTHOR_EMAIL": "ann@example.com",
    "GIT_COMMITTER_NAME": "Carl Committer",
    "GIT_COMMITTER_EMAIL": "carl@example.com",
    "GIT_AUTHOR_DATE": f"{BASE_TIME} +0000",
    "GIT_COMMITTER_DATE": f"{BASE_TIME} +0000",
}


@dataclasses.dataclass(frozen=True)
class Scale:
    commits: int  # the linear main
    feature_commits: int  # the feature branch's own commits
    tags: int
    branches: int  # local, and as many remote-tracking
    files: int  # tracked files of the working tree
    ignored_files: int  # files under the ignored node_modules
    stashes: int


SCALES = {
    "tiny": Scale(commits=60, feature_commits=3, tags=30, branches=10, files=120, ignored_files=20, stashes=2),
    "quick": Scale(commits=5_000, feature_commits=12, tags=5_000, branches=400, files=3_000, ignored_files=500,
                   stashes=5),
    "full": Scale(commits=100_000, feature_commits=40, tags=50_000, branches=2_000, files=30_000,
                  ignored_files=3_000, stashes=20),
}


def default_root() -> Path:
    return Path(tempfile.gettempdir()) / "git_service_cython-bench"


def git(repo: Path, *args: str, input: bytes | None = None, env: dict | None = None) -> str:
    result = subprocess.run(["git", *args], cwd=repo, input=input, capture_output=True,
                            env={**os.environ, **GIT_ENV, **(env or {})})
    if result.returncode != 0:
        raise RuntimeError(f"git {' '.join(args[:3])} failed in {repo}: {result.stderr.decode(errors='replace')}")
    return result.stdout.decode()


# The object formats a repository can be made in; a SHA-1 repository is made
# as `git init` makes one by default.
SHA1, SHA256 = "sha1", "sha256"


def twin_name(name: str, object_format: str) -> str:
    """The name of `name`'s repository in that object format: "history-main" or "history-main-sha256"."""
    return name if object_format == SHA1 else f"{name}-{object_format}"


def init(path: Path, branch: str, object_format: str = SHA1) -> Path:
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    format_option = [] if object_format == SHA1 else [f"--object-format={object_format}"]
    git(path, "init", "-q", "-b", branch, *format_option)
    return path


class Stream:
    """A fast-import stream with marks for the commits it writes."""

    def __init__(self):
        self.parts: list[bytes] = []
        self.marks = 0

    def data(self, payload: bytes) -> None:
        self.parts.append(b"data %d\n" % len(payload) + payload + b"\n")

    def commit(self, ref: str, when: int, message: str, parent: str | None = None,
               files: dict[str, bytes] | None = None) -> str:
        self.marks += 1
        mark = f":{self.marks}"
        self.parts.append(f"commit {ref}\nmark {mark}\n".encode())
        self.parts.append(f"author {AUTHOR} {when} +0000\ncommitter {COMMITTER} {when} +0000\n".encode())
        self.data(message.encode())
        if parent:
            self.parts.append(f"from {parent}\n".encode())
        for path, content in (files or {}).items():
            self.parts.append(f"M 100644 inline {path}\n".encode())
            self.data(content)
        return mark

    def tag(self, name: str, target: str, when: int, message: bytes) -> None:
        self.parts.append(f"tag {name}\nfrom {target}\ntagger {COMMITTER} {when} +0000\n".encode())
        self.data(message)

    def run(self, repo: Path) -> dict[str, str]:
        """Feeds the stream to git; returns the commit id of every mark (40 or 64 digits, the repository's)."""
        marks_file = repo / ".git" / "bench-marks"
        self.parts.append(b"done\n")
        git(repo, "fast-import", "--quiet", "--done", f"--export-marks={marks_file}", input=b"".join(self.parts))
        marks = dict(line.split() for line in marks_file.read_text().splitlines())
        marks_file.unlink()
        return marks


def linear_history(stream: Stream, ref: str, count: int, start_time: int, prefix: str,
                   parent: str | None = None) -> list[str]:
    """Commits that each change one of a hundred small files; returns their marks, oldest first."""
    marks = []
    for i in range(count):
        files = {f"src/file{i % 100:02d}.txt": f"{prefix} {i}\n".encode()}
        marks.append(stream.commit(ref, start_time + i * 60, f"{prefix} {i}\n\nBody of {prefix} {i}.\n",
                                   parent if i == 0 else None, files))
    return marks


def build_history(path: Path, scale: Scale, base: str, commit_graph: bool = True,
                  object_format: str = SHA1) -> None:
    """A linear `base` branch, a feature branch forked near its head, origin's tracking refs, a commit-graph."""
    repo = init(path, base, object_format)
    stream = Stream()
    main = linear_history(stream, f"refs/heads/{base}", scale.commits, BASE_TIME, "main")
    fork = main[-max(1, scale.commits // 50)]
    feature_start = BASE_TIME + scale.commits * 60
    feature = linear_history(stream, "refs/heads/feature", scale.feature_commits, feature_start, "feature", fork)
    marks = stream.run(repo)
    updates = [
        f"create refs/remotes/origin/{base} {marks[main[-10]]}",
        f"create refs/remotes/origin/feature {marks[feature[len(feature) // 2]]}",
        f"create refs/remotes/origin/HEAD {marks[main[-10]]}",
        f"create refs/tags/v1.0 {marks[main[-20]]}",
    ]
    git(repo, "update-ref", "--stdin", input=("\n".join(updates) + "\n").encode())
    git(repo, "symbolic-ref", "HEAD", "refs/heads/feature")
    git(repo, "reset", "-q", "--hard")
    if commit_graph:
        git(repo, "commit-graph", "write", "--reachable")


# What a copy of a finished history leaves out: its commit-graph, its index
# (rebuilt with the working tree) and its marker.
NOT_COPIED = {"commit-graph", "commit-graphs", "index", "bench-corpus"}


def build_plain_history(path: Path, scale: Scale, object_format: str = SHA1) -> None:
    """history-main without a commit-graph: copied from history-main (of the same object format) when that is
    built, else made anew.

    Both ways give the same objects and refs; the copy saves writing the whole history again."""
    template = path.parent / twin_name("history-main", object_format)
    if not is_finished(template, scale):
        build_history(path, scale, "main", commit_graph=False, object_format=object_format)
        return
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    shutil.copytree(template / ".git", path / ".git", ignore=lambda _, names: NOT_COPIED.intersection(names))
    git(path, "reset", "-q", "--hard")


def build_refs(path: Path, scale: Scale, object_format: str = SHA1) -> None:
    """Tags (two thirds lightweight, a third annotated, a few with empty subjects) and many branches,
    packed as a clone or `git gc` leaves them, with a few loose refs on top as later work leaves them."""
    repo = init(path, "main", object_format)
    stream = Stream()
    history = linear_history(stream, "refs/heads/main", max(200, scale.branches), BASE_TIME, "main")
    rng = random.Random(7)
    annotated_every = 3
    empty_subjects = {scale.tags // 4, scale.tags // 2, (3 * scale.tags) // 4}
    for i in range(0, scale.tags, annotated_every):
        target = history[rng.randrange(len(history))]
        if i in empty_subjects or (i + 1) in empty_subjects or (i + 2) in empty_subjects:
            message = b""  # git prints an empty subject; the listing reads the tag object
        else:
            message = b"Release %d\n\nNotes.\n" % i
        stream.tag(f"annotated-{i:06d}", target, BASE_TIME + 10_000_000 + i, message)
    marks = stream.run(repo)
    ids = [marks[mark] for mark in history]
    updates = []
    for i in range(scale.tags):
        if i % annotated_every != 0:
            updates.append(f"create refs/tags/light-{i:06d} {ids[rng.randrange(len(ids))]}")
    for i in range(scale.branches):
        updates.append(f"create refs/heads/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
        updates.append(f"create refs/remotes/origin/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
    git(repo, "update-ref", "--stdin", input=("\n".join(updates) + "\n").encode())
    git(repo, "pack-refs", "--all")
    moved = []
    for i in range(0, scale.branches, max(1, scale.branches // 10)):
        moved.append(f"update refs/heads/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
        moved.append(f"update refs/remotes/origin/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
    git(repo, "update-ref", "--stdin", input=("\n".join(moved) + "\n").encode())
    git(repo, "reset", "-q", "--hard")


def file_content(rng: random.Random, index: int) -> bytes:
    words = " ".join(f"w{rng.randrange(10_000)}" for _ in range(30))
    return f"file {index}\n{words}\n".encode()


def tracked_paths(count: int) -> list[str]:
    paths = []
    for i in range(count):
        top, middle = divmod(i // 100, 10)
        paths.append(f"pkg{top:03d}/mod{middle}/file{i % 100:02d}.txt")
    return paths


def build_worktree(path: Path, scale: Scale, object_format: str = SHA1) -> None:
    """A working tree with an ignored node_modules, modified, staged, untracked files and stashes."""
    repo = init(path, "main", object_format)
    rng = random.Random(11)
    paths = tracked_paths(scale.files)
    files = {p: file_content(rng, i) for i, p in enumerate(paths)}
    files[".gitignore"] = b"node_modules/\n*.log\n/build/\n"
    stream = Stream()
    stream.commit("refs/heads/main", BASE_TIME, "Initial tree\n", None, files)
    stream.run(repo)
    git(repo, "reset", "-q", "--hard")
    for i in range(scale.ignored_files):
        target = repo / "node_modules" / f"dep{i // 50:03d}" / f"index{i % 50}.js"
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(b"module.exports = %d;\n" % i)
    (repo / "debug.log").write_text("ignored\n")
    when = BASE_TIME + 3600
    for s in range(scale.stashes):
        (repo / paths[s]).write_bytes(b"stashed change %d\n" % s)
        message = [] if s % 3 == 0 else ["-m", f"work in progress {s}"]
        git(repo, "stash", "push", "-q", *message,
            env={"GIT_AUTHOR_DATE": f"{when + s} +0000", "GIT_COMMITTER_DATE": f"{when + s} +0000"})
    modified = rng.sample(range(scale.files), max(1, scale.files // 100))
    for i in modified:
        with open(repo / paths[i], "ab") as handle:
            handle.write(b"local change\n")
    staged = modified[: max(1, len(modified) // 5)]
    git(repo, "add", "--", *[paths[i] for i in staged])
    for i in staged[: max(1, len(staged) // 2)]:
        with open(repo / paths[i], "ab") as handle:
            handle.write(b"changed again after staging\n")
    for i in range(max(1, scale.files // 200)):
        untracked = repo / "new" / f"untracked{i:04d}.txt"
        untracked.parent.mkdir(exist_ok=True)
        untracked.write_text(f"untracked {i}\n")


BUILDERS = {
    "history-main": lambda path, scale: build_history(path, scale, "main"),
    "history-master": lambda path, scale: build_history(path, scale, "master"),
    "history-plain": build_plain_history,
    "refs": build_refs,
    "worktree": build_worktree,
}
# The repositories whose rows are measured in both object formats: those
# whose methods read objects and refs natively (the history pane, counting,
# the merge base, the refs of a commit and the fallback scan).
TWINNED = ("history-main", "history-plain", "refs", "worktree")
SHA256_TWINS = {twin_name(name, SHA256): name for name in TWINNED}
BUILDERS.update({
    twin_name("history-main", SHA256): lambda path, scale: build_history(path, scale, "main", object_format=SHA256),
    twin_name("history-plain", SHA256): lambda path, scale: build_plain_history(path, scale, SHA256),
    twin_name("refs", SHA256): lambda path, scale: build_refs(path, scale, SHA256),
    twin_name("worktree", SHA256): lambda path, scale: build_worktree(path, scale, SHA256),
})
# A repository built only once another is finished.
AFTER = {"history-plain": "history-main", "history-plain-sha256": "history-main-sha256"}
# Two builders run at a time (git does the work, in its own processes), the
# longest first so that both finish at about the same time.
BUILD_ORDER = ("history-main", "history-main-sha256", "worktree", "worktree-sha256", "history-master",
               "history-plain", "history-plain-sha256", "refs", "refs-sha256")
BUILD_WORKERS = 2


def marker_text(scale: Scale) -> str:
    return f"{VERSION} {scale}\n"


def is_finished(path: Path, scale: Scale) -> bool:
    """Whether `path` holds a repository built by this version at this scale."""
    marker = path / ".git" / "bench-corpus"
    return marker.exists() and marker.read_text() == marker_text(scale)


def ensure(scale_name: str, root: Path | None = None) -> dict[str, Path]:
    """The corpus at `scale_name`, built where it is missing or out of date."""
    scale = SCALES[scale_name]
    base = (root or default_root()) / scale_name
    repos = {name: base / name for name in BUILDERS}
    built: dict[str, Future] = {}

    def build(name: str) -> None:
        if name in AFTER:
            built[AFTER[name]].result()
        path = repos[name]
        if not is_finished(path, scale):
            BUILDERS[name](path, scale)
            (path / ".git" / "bench-corpus").write_text(marker_text(scale))

    with ThreadPoolExecutor(max_workers=BUILD_WORKERS) as pool:
        for name in BUILD_ORDER:  # a repository is submitted after the one it waits for
            built[name] = pool.submit(build, name)
    for future in built.values():
        future.result()
    return repos


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", choices=sorted(SCALES), default="quick")
    parser.add_argument("--root", type=Path, default=None)
    args = parser.parse_args()
    for name, path in ensure(args.scale, args.root).items():
        print(f"{name}: {path}")


if __name__ == "__main__":
    main()
