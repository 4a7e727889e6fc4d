"""The object store's reads on another machine, compared with git's on this one.

    check_store.py RUNNER DRIVER

Generates repositories with git (loose objects; packs of offset deltas and of
reference deltas with version 1 and 2 indexes, deep chains; a commit-graph,
whole and split, and commits beyond it; an index file), runs the store driver
(tests/arm64/store_driver.cpp, built for the other machine) through RUNNER on
each and compares every answer byte for byte with git's: every object
(`git cat-file --batch`), every commit's parents (`git rev-list --parents`),
the walk's order and fields, counts (`git rev-list --count`), the
commit-graph's ids, parents and generations, HEAD's flattened tree
(`git ls-tree -r`) and the index (`git ls-files -s`). The file layer itself
is checked on a tree of its own (nested and non-ASCII names, a path longer
than Windows' 260 characters, empty, binary and large files, hard and
symbolic links) against what this machine's system says of it.

RUNNER is how the driver runs: `native` (a build for this machine, such as
a musl one), a qemu user-mode emulator such as `qemu-aarch64-static`, or
`wine` (a Windows build, under Wine, in a Wine prefix of its own beside the
driver: paths are named to it as Wine's drive Z:).
Exits 1 on the first difference, naming it.
"""

from __future__ import annotations

import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from collections import deque
from pathlib import Path
from typing import Self

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from git_env import BASE_TIME, GIT_ENV

ENV = {**os.environ, **GIT_ENV}


class Mismatch(Exception):
    pass


class Runner:
    """How the driver runs: the command before it, how a path of this
    machine is named to it, and whether its system shows a symbolic link as
    a link (Wine 8 shows a Unix one as the file it points to)."""

    def __init__(self, name: str, driver: Path):
        self.name = name
        self.command = [] if name == "native" else [name]
        self.env = None
        self.shows_links = name != "wine"
        self.prefix = None
        if name == "wine":
            # A prefix of its own, made on the first run (about ten seconds)
            # and kept beside the driver; no dialogs for the parts of Wine a
            # console program does not use.
            self.prefix = driver.resolve().parent / "wine-prefix"
            self.env = {**os.environ, "WINEPREFIX": str(self.prefix), "WINEDEBUG": "-all",
                        "WINEDLLOVERRIDES": "mscoree,mshtml=", "LC_ALL": "C.UTF-8"}
        self.driver = [*self.command, str(driver)]

    def __enter__(self) -> Self:
        if self.name == "wine":
            # One Wine server for all the runs, instead of one started per
            # run, and Wine's own services started before them, with nothing
            # of ours open: they outlive the run that starts them.
            quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            # (It fails only where one already serves the prefix, which then serves these runs.)
            self.prefix.mkdir(exist_ok=True)
            subprocess.run(["wineserver", "--persistent"], env=self.env, check=False, **quiet)
            subprocess.run(["wine", "wineboot", "--init"], env=self.env, check=True, **quiet)
        return self

    def __exit__(self, *exc: object) -> None:
        if self.name == "wine":
            subprocess.run(["wineserver", "--kill"], env=self.env, check=False)

    def path(self, path: Path) -> str:
        return "Z:" + str(path).replace("/", "\\") if self.name == "wine" else str(path)

    def other_spellings(self, path: Path) -> list[str]:
        """Other names of the same path that the system must take alike:
        for Windows, with the long-path prefix, and with "/" separators."""
        if self.name != "wine":
            return []
        return ["\\\\?\\" + self.path(path), "Z:" + str(path)]

    def run(self, *args: str, input: bytes | None = None) -> bytes:
        # Into files rather than pipes: a process the driver's start brought
        # up (Wine's) may hold a pipe open long after the driver ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([*self.driver, *args], input=input, env=self.env, stdout=out, stderr=err,
                                  check=False)
            out.seek(0)
            err.seek(0)
            if done.returncode != 0:
                raise Mismatch(f"{' '.join(args)}: the driver exited with {done.returncode}: {err.read()!r}")
            return out.read()


def git(cwd: Path, *args: str, input: bytes | None = None, env: dict | None = None) -> bytes:
    return subprocess.run(["git", *args], cwd=cwd, input=input, env={**ENV, **(env or {})},
                          capture_output=True, check=True).stdout


class History:
    """Builds a history with fast-import: files that grow and change (delta
    chains), binary content with every byte value, non-ASCII names and
    messages, symbolic links, executables, merges and an octopus merge."""

    def __init__(self, path: Path, seed: int):
        self.path = path
        self.random = random.Random(seed)
        self.stream: list[bytes] = []
        self.mark = 0
        self.tick = 0
        git(path.parent, "init", "-q", "-b", "main", str(path))

    def commit(self, branch: str, message: bytes, files: dict[str, tuple[str, bytes]],
               parents: list[str] = ()) -> str:
        self.mark += 1
        self.tick += 1
        when = BASE_TIME + self.tick * 97
        out = self.stream
        out.append(f"commit refs/heads/{branch}\nmark :{self.mark}\n".encode())
        out.append(f"author Ann Author <ann@example.com> {when} +0100\n".encode())
        out.append(f"committer Carl Committer <carl@example.com> {when} -0230\n".encode())
        out.append(b"data %d\n%s\n" % (len(message), message))
        for i, parent in enumerate(parents):
            out.append(f"{'from' if i == 0 else 'merge'} {parent}\n".encode())
        for name, (mode, content) in files.items():
            out.append(f"M {mode} inline {name}\ndata {len(content)}\n".encode() + content + b"\n")
        out.append(b"\n")
        return f":{self.mark}"

    def build(self, commits: int) -> None:
        rnd = self.random
        lines = [f"line {i} {rnd.random()}\n".encode() for i in range(400)]
        blob = bytes(range(256)) * 64
        main = self.commit("main", b"root\n", {"README": ("100644", b"hello\n")})
        side = None
        for i in range(commits):
            lines[rnd.randrange(len(lines))] = f"changed {i} {rnd.random()}\n".encode()
            lines.insert(rnd.randrange(len(lines)), f"added {i}\n".encode())
            files = {
                "src/long.txt": ("100644", b"".join(lines)),
                f"dir{i % 7}/file{i % 13}.bin": ("100644", rnd.randbytes(rnd.randrange(1, 3000))),
                "data/blob.bin": ("100644", blob[i % 256:] + bytes([i % 256]) * i),
                "tools/run.sh": ("100755", f"#!/bin/sh\necho {i}\n".encode()),
                "link": ("120000", f"src/target{i % 3}".encode()),
                "n\u00e4me/\u00fcber.txt": ("100644", f"{i}\n".encode()),
            }
            message = f"commit {i}\n\nbody \u00e9\u00e8 {rnd.random()}\n".encode()
            if i % 11 == 5:
                message = b"latin-1 \xe9\xff\x80 message\n"
            if i == 12:
                files["huge.bin"] = ("100644", rnd.randbytes(300_000))
            main = self.commit("main", message, files, [main])
            if i % 17 == 3:
                side = self.commit("side", f"side {i}\n".encode(), {f"side/{i}.txt": ("100644", b"s\n")}, [main])
            if side is not None and i % 17 == 10:
                main = self.commit("main", f"merge {i}\n".encode(), {}, [main, side])
            if i == commits // 2:
                others = [self.commit(f"octopus{k}", f"arm {k}\n".encode(), {f"arm{k}": ("100644", b"a\n")}, [main])
                          for k in range(3)]
                main = self.commit("main", b"octopus\n", {}, [main, *others])
        self.stream.append(b"done\n")
        git(self.path, "fast-import", "--quiet", "--done", input=b"".join(self.stream))
        git(self.path, "tag", "-a", "v1", "-m", "annotated \u00e9", "main~3")
        git(self.path, "checkout", "-q", "-f", "main")


def repositories(root: Path, commits: int) -> list[tuple[str, Path, dict[str, int]]]:
    """Repositories in every storage shape the store reads, each with the
    least it must hold of what it is made for."""
    made = []

    def fresh(name: str, seed: int, expect: dict) -> Path:
        history = History(root / name, seed)
        history.build(commits)
        made.append((name, history.path, expect))
        return history.path

    loose = fresh("loose", 1, {"loose": 1000, "graph layers": 0})
    for pack in sorted((loose / ".git/objects/pack").glob("*.pack")):
        data = pack.read_bytes()
        for kept in pack.parent.glob(pack.stem + ".*"):
            kept.unlink()
        git(loose, "unpack-objects", "-q", input=data)

    offsets = fresh("offset-deltas", 2, {"offset delta": 300, "deepest chain": 100, "graph layers": 1})
    git(offsets, "repack", "-adfq", "--depth=250", "--window=50")
    git(offsets, "commit-graph", "write", "--reachable")
    git(offsets, "update-index", "--index-version", "4")

    references = fresh("reference-deltas-v1-index", 3,
                       {"reference delta": 300, "version-1 indexes": 1, "deepest chain": 20})
    git(references, "-c", "repack.useDeltaBaseOffset=false", "-c", "pack.indexVersion=1",
        "repack", "-adfq", "--depth=50")

    split = fresh("split-graph-and-loose", 4, {"loose": 10, "offset delta": 100, "graph layers": 2})
    git(split, "repack", "-adq")
    git(split, "commit-graph", "write", "--reachable", "--split=no-merge")
    for i in range(5):
        (split / f"later{i}.txt").write_text(f"{i}\n")
        git(split, "add", "-A")
        git(split, "commit", "-q", "-m", f"later {i}",
            env={"GIT_AUTHOR_DATE": f"{BASE_TIME + 10**6 + i} +0000", "GIT_COMMITTER_DATE": f"{BASE_TIME + 10**6 + i} +0000"})
        if i == 2:
            git(split, "commit-graph", "write", "--reachable", "--split=no-merge")
    return made


def storage(path: Path) -> dict[str, int]:
    """What the repository holds, read from its files: loose objects, packed
    entries by kind, the deepest delta chain, version-1 indexes, graph layers."""
    objects = path / ".git/objects"
    kinds = {1: "commit", 2: "tree", 3: "blob", 4: "tag", 6: "offset delta", 7: "reference delta"}
    found = {"loose": sum(1 for entry in objects.glob("[0-9a-f][0-9a-f]/*")), "deepest chain": 0,
             "version-1 indexes": 0, "graph layers": 0}
    for index in objects.glob("pack/*.idx"):
        found["version-1 indexes"] += index.read_bytes()[:4] != b"\377tOc"
        pack = index.with_suffix(".pack").read_bytes()
        for line in git(path, "verify-pack", "-v", str(index)).splitlines():
            fields = line.split()
            if len(fields) >= 5 and len(fields[0]) == 40:
                kind = kinds[pack[int(fields[4])] >> 4 & 7]
                found[kind] = found.get(kind, 0) + 1
                if len(fields) == 7:
                    found["deepest chain"] = max(found["deepest chain"], int(fields[5]))
    info = objects / "info"
    found["graph layers"] = len(list(info.glob("commit-graphs/*.graph"))) + (info / "commit-graph").exists()
    return found


def breadth_first(head: str, parents: dict[str, list[str]]) -> list[str]:
    """The walk's order: the head, then parents in stored order, each commit at its first reach."""
    order, seen, queue = [], {head}, deque([head])
    while queue:
        commit = queue.popleft()
        order.append(commit)
        for parent in parents[commit]:
            if parent not in seen:
                seen.add(parent)
                queue.append(parent)
    return order


def topological_levels(parents: dict[str, list[str]]) -> dict[str, int]:
    levels: dict[str, int] = {}
    for commit in parents:
        stack = [commit]
        while stack:
            top = stack[-1]
            pending = [p for p in parents[top] if p not in levels]
            if pending:
                stack.extend(pending)
                continue
            stack.pop()
            levels[top] = 1 + max((levels[p] for p in parents[top]), default=0)
    return levels


def compare(what: str, ours: bytes, theirs: bytes) -> None:
    if ours == theirs:
        return
    at = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b), min(len(ours), len(theirs)))
    line = theirs.count(b"\n", 0, at) + 1
    raise Mismatch(f"{what}: from byte {at} (line {line}) the store gave {ours[max(at - 40, 0):at + 80]!r},"
                   f" git {theirs[max(at - 40, 0):at + 80]!r} ({len(ours)} and {len(theirs)} bytes in all)")


def check(name: str, path: Path, runner: Runner) -> int:
    git_dir = runner.path(path / ".git")

    def run(*args: str, input: bytes | None = None) -> bytes:
        return runner.run(git_dir, *args, input=input)

    ids = b"".join(line.split()[0] + b"\n" for line in git(
        path, "cat-file", "--batch-all-objects", "--batch-check=%(objectname)").splitlines())
    compare(f"{name}: objects", run("cat", input=ids), git(path, "cat-file", "--batch", input=ids))

    rev_parents = git(path, "rev-list", "--parents", "--all")
    commits = b"".join(line.split()[0] + b"\n" for line in rev_parents.splitlines())
    compare(f"{name}: parents", run("parents", input=commits), rev_parents)
    parents = {line.split()[0].decode(): [p.decode() for p in line.split()[1:]] for line in rev_parents.splitlines()}

    head = git(path, "rev-parse", "main").decode().strip()
    fields = {line.split()[0].decode(): line for line in git(path, "log", "--all", "--format=%H %T %ct %P").splitlines()}
    expected_walk = b"".join(fields[commit].strip() + b"\n" for commit in breadth_first(head, parents))
    compare(f"{name}: walk from main", run("walk", head), expected_walk)

    for base in ("side", "octopus1", "main~40"):
        base_id = git(path, "rev-parse", base).decode().strip()
        compare(f"{name}: count main ^{base}", run("count", head, base_id),
                git(path, "rev-list", "--count", "main", f"^{base_id}"))
    compare(f"{name}: count main", run("count", head), git(path, "rev-list", "--count", "main"))

    graph = run("graph").splitlines()
    if graph[0] != b"none":
        levels = topological_levels(parents)
        rows = graph[1:]
        if graph[0] != b"%d levels agree" % len(rows) or not rows:
            raise Mismatch(f"{name}: commit-graph of {graph[0]!r}, {len(rows)} rows")
        for row in rows:
            commit, generation, *graph_parents = row.decode().split()
            if commit not in parents:
                raise Mismatch(f"{name}: commit-graph row {row!r}: no commit of git's")
            if graph_parents != parents[commit] or int(generation) != levels[commit]:
                raise Mismatch(f"{name}: commit-graph row {row!r}: git's parents {parents[commit]}, level {levels[commit]}")
    elif (path / ".git/objects/info/commit-graph").exists() or (path / ".git/objects/info/commit-graphs").exists():
        raise Mismatch(f"{name}: the store did not open the commit-graph")

    tree = git(path, "rev-parse", "main^{tree}").decode().strip()
    compare(f"{name}: tree of main", run("tree", tree),
            git(path, "-c", "core.quotePath=false", "ls-tree", "-r", "-z", "--format=%(objectmode) %(objectname)%x09%(path)", tree))
    index = git(path, "ls-files", "--stage", "-z")
    compare(f"{name}: index", run("index"), index)
    for spelling in runner.other_spellings(path / ".git"):
        compare(f"{name}: index through {spelling}", runner.run(spelling, "index"), index)
        compare(f"{name}: count main through {spelling}", runner.run(spelling, "count", head),
                git(path, "rev-list", "--count", "main"))
    return len(ids.splitlines())


def file_tree(root: Path, shows_links: bool) -> None:
    """A tree for the file layer: nested and non-ASCII names (one outside
    UTF-16's basic plane; on POSIX systems one that is not UTF-8), a path
    longer than 260 characters, empty, binary and large files, a hard link,
    and symbolic links to a file, to a directory and to nothing (where the
    system shows links as links)."""
    rnd = random.Random(7)
    (root / "a/b/c").mkdir(parents=True)
    (root / "a/b/c/deep.txt").write_bytes(b"deep\n")
    (root / "empty").write_bytes(b"")
    (root / "binary.bin").write_bytes(bytes(range(256)) * 3)
    (root / "large.bin").write_bytes(rnd.randbytes(3_000_000))
    (root / "n\u00e4me \u00fcber \u65e5\u672c").mkdir()
    (root / "n\u00e4me \u00fcber \u65e5\u672c/\u00e9t\u00e9 \U0001f600.txt").write_text("\u00e9\n", encoding="utf-8")
    long = root
    for i in range(6):
        long = long / f"{i}-{'long directory name ' * 3}end"
    long.mkdir(parents=True)
    (long / "far.txt").write_bytes(b"far\n")
    if len(str(long / "far.txt")) <= 260:
        raise Mismatch(f"the long path is only {len(str(long / 'far.txt'))} characters")
    os.link(root / "binary.bin", root / "hard link")
    os.symlink("a/b/c/deep.txt", root / "link to file")
    if shows_links:
        os.symlink("a/b", root / "link to directory")
        os.symlink("nowhere", root / "link to nothing")
        with open(os.path.join(os.fsencode(root), b"latin-1 \xe9\xff.txt"), "wb") as file:
            file.write(b"not UTF-8\n")


def expected_files(root: Path, shows_links: bool) -> bytes:
    """What the driver's `files` prints for the tree, from this machine's
    system: names as the file system's bytes, in byte order."""
    lines, seen = [], {}

    def visit(directory: bytes, below: bytes) -> None:
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            relative = below + b"/" + name if below else name
            st = os.lstat(path) if shows_links else os.stat(path)
            same = seen.setdefault((st.st_dev, st.st_ino), relative)
            same = b"-" if same == relative else same
            if os.path.islink(path) and shows_links:
                kind, size, what = b"link", b"-", os.readlink(path)
            elif os.path.isdir(path):
                kind, size, what = b"directory", b"-", b"-"
            else:
                with open(path, "rb") as file:
                    content = file.read()
                kind, size = b"file", b"%d" % len(content)
                what = hashlib.sha1(b"blob %d\0" % len(content) + content).hexdigest().encode()
            lines.append(b"\t".join((relative, kind, size, what, same)) + b"\n")
            if kind == b"directory":
                visit(path, relative)

    visit(os.fsencode(root), b"")
    return b"".join(lines)


def check_files(root: Path, runner: Runner) -> int:
    file_tree(root, runner.shows_links)
    expected = expected_files(root, runner.shows_links)
    compare("file layer", runner.run(runner.path(root), "files"), expected)
    return expected.count(b"\n")


def main(argv: list[str]) -> int:
    if len(argv) != 2 or not Path(argv[1]).is_file() or not (argv[0] == "native" or shutil.which(argv[0])):
        print(__doc__, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="store-check-") as root, Runner(argv[0], Path(argv[1])) as runner:
        try:
            started = time.monotonic()
            files = check_files(Path(root) / "files", runner)
            print(f"file layer: {files} files listed, read, mapped and opened alike ({time.monotonic() - started:.1f} s)")
            for name, path, expect in repositories(Path(root), commits=120):
                held = storage(path)
                short = {kind: held.get(kind, 0) for kind, least in expect.items()
                         if held.get(kind, 0) < least or (least == 0 and held.get(kind, 0) != 0)}
                if short:
                    raise Mismatch(f"{name} was not made as meant: it holds {held}")
                print(f"{name}: " + ", ".join(f"{count} {kind}" for kind, count in held.items()))
                started = time.monotonic()
                objects = check(name, path, runner)
                print(f"{name}: {objects} objects, their walks, counts, graph, tree and index read alike"
                      f" ({time.monotonic() - started:.1f} s)")
        except Mismatch as difference:
            print(f"FAULT: {difference}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
