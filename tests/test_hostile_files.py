"""Repository files that could hang the service, exhaust its memory or kill it:
a pipe, a socket or a link to a device where git keeps a regular file, loose
objects and index files describing more than anything the store builds, and a
packed-refs file cut short in place while it is read. Each is met with a
clear error naming the file (or the method's own handling of one), in a child
process with a time limit, never by handing the file to dulwich. Tests that
take `object_format` run on SHA-1 and on SHA-256 repositories, the probe
reading in the repository's format."""

from __future__ import annotations

import hashlib
import json
import os
import socket
import struct
import textwrap
import zlib
from pathlib import Path

import _git_store_probe as probe
import git_service_cython as gsc
import pytest
from conftest import GitRepo
from decline_reasons import NOTHING, assert_declined, listening, probe_reasons
from dulwich.refs import DiskRefsContainer
from hardening_helpers import run_child
from roads import LibraryRepo, library_service
from roads import outcome as answer_of

MAX_OBJECT = 256 << 20  # the largest object the store builds
# Why the store leaves a loose object whose header claims more than that to dulwich.
CLAIMS_PAST_THE_BOUND = "loose object: a header declaring more than the largest object the store reads"
BIG = 600 << 20  # a loose object far above it, stored in 0.6 MB


# --- repositories and what is put into them ------------------------------------------------------------


def build(repo: GitRepo) -> dict[str, str]:
    """main: three commits; feature: one of its own on the second; a tag."""
    ids = {"first": repo.commit("first", files={"a.txt": "one\n", "src/b.txt": "bee\n"})}
    ids["second"] = repo.commit("second", files={"a.txt": "two\n"})
    repo.git("checkout", "-q", "-b", "feature")
    ids["feature"] = repo.commit("feature", files={"f.txt": "f\n"})
    repo.git("checkout", "-q", "main")
    ids["main"] = repo.commit("third", files={"src/c.txt": "sea\n"})
    repo.git("tag", "v1", ids["first"])
    return ids


def object_path(repo: GitRepo, oid: str) -> Path:
    return repo.path / ".git" / "objects" / oid[:2] / oid[2:]


def place_path(repo: GitRepo, ids: dict[str, str], place: str) -> Path:
    """The file of `place`, made ready to be replaced (packed-refs packed first)."""
    if place == "packed-refs":
        repo.git("pack-refs", "--all")
    return {
        "loose ref": repo.path / ".git" / "refs" / "heads" / "main",
        "HEAD": repo.path / ".git" / "HEAD",
        "packed-refs": repo.path / ".git" / "packed-refs",
        "loose object": object_path(repo, ids["main"]),
        "index": repo.path / ".git" / "index",
    }[place]


def put_special_file(path: Path, kind: str) -> None:
    """Replaces the file at `path` by a named pipe, a socket or a link to /dev/zero."""
    path.unlink()
    if kind == "named pipe":
        os.mkfifo(path)
    elif kind == "link to /dev/zero":
        path.symlink_to("/dev/zero")
    else:
        # Bound by its name in its directory: socket paths are short.
        here = os.getcwd()
        os.chdir(path.parent)
        try:
            with socket.socket(socket.AF_UNIX) as listener:
                listener.bind(path.name)
        finally:
            os.chdir(here)


def write_loose(path: Path, header: bytes, body_size: int) -> None:
    """A zlib stream of `header` and `body_size` zero bytes, written in pieces."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists():
        path.chmod(0o644)
    deflate = zlib.compressobj(9)
    piece = bytes(1 << 20)
    with open(path, "wb") as out:
        out.write(deflate.compress(header))
        out.writelines(deflate.compress(piece[: min(len(piece), body_size - start)])
                       for start in range(0, body_size, len(piece)))
        out.write(deflate.flush())


def v4_index(entries: list[tuple[int, bytes]], object_format: str = "sha1") -> bytes:
    """A version-4 index of `object_format`: each entry's path made, as git compresses them, of
    how much of the path before it to drop (below 128 here) and what follows."""
    out = [b"DIRC", struct.pack(">II", 4, len(entries))]
    stat = struct.pack(">10I", 1, 0, 1, 0, 1, 1, 0o100644, 0, 0, 1)
    oid = bytes(range(hashlib.new(object_format).digest_size))
    for drop, suffix in entries:
        out.append(stat + oid + struct.pack(">H", 0xFFF) + bytes([drop]) + suffix + b"\0")
    data = b"".join(out)
    return data + hashlib.new(object_format, data).digest()


def growing(count: int, start: bytes = b"a") -> list[tuple[int, bytes]]:
    """Paths `start`, then one byte longer each time."""
    return [(0, start)] + [(0, b"a")] * (count - 1)


# --- the child that calls the service ------------------------------------------------------------------

CALLS = ["list_commits", "count_commits", "list_branches", "get_branch_info", "get_commit_refs", "get_file_status"]

CHILD = textwrap.dedent("""
    import json, logging, os, resource, time
    import git_service_cython as gsc
    root, head, names, rounds, later = CONFIG
    class Heard(logging.Handler):
        messages = []
        def emit(self, record):
            self.messages.append(record.getMessage())
    logging.getLogger("git_service_cython").addHandler(Heard())
    logging.getLogger("git_service_cython").setLevel(logging.DEBUG)
    calls = {
        "list_commits": lambda s: s.list_commits("main", 20, 0, False),
        "count_commits": lambda s: s.count_commits("feature"),
        "list_branches": lambda s: s.list_branches(),
        "get_branch_info": lambda s: s.get_branch_info("main"),
        "get_commit_refs": lambda s: s.get_commit_refs(head),
        "get_file_status": lambda s: s.get_file_status(),
    }
    def read_bytes():
        with open("/proc/self/io") as io:
            return int(next(line for line in io if line.startswith("rchar:")).split()[1])
    service = gsc.GitServiceCython(root)
    if later:
        # A file dulwich reads when the repository is opened, replaced after.
        path, kind = later
        os.unlink(path)
        os.mkfifo(path) if kind == "named pipe" else os.symlink("/dev/zero", path)
    for round in range(rounds):
        for name in names:
            if name == "new service":
                service = gsc.GitServiceCython(root)
                continue
            Heard.messages.clear()
            peak, read, started = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, read_bytes(), time.monotonic()
            outcome = {"raised": None}
            try:
                calls[name](service)
            except Exception as error:
                outcome = {"raised": type(error).__name__, "errno": getattr(error, "errno", None),
                           "filename": getattr(error, "filename", None), "text": str(error)}
            outcome["seconds"] = time.monotonic() - started
            outcome["read"] = read_bytes() - read
            outcome["growth"] = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) * 1024
            # What the call declined: each message's reason, after the method's name.
            outcome["declined"] = sorted({message.split(": ", 1)[1] for message in Heard.messages})
            print(json.dumps([round, name, outcome]), flush=True)
""")


def call_in_child(repo: GitRepo, head: str, names: list[str], tmp_path: Path, *, rounds: int = 1,
                  later: tuple[str, str] | None = None, timeout: float = 120) -> list[dict]:
    """Each call's outcome (per round), made without git in a fresh interpreter;
    `later` (a path and a kind) is put in place once the service is built."""
    empty = tmp_path / "no-git-bin"
    empty.mkdir(exist_ok=True)
    script = f"CONFIG = {(str(repo.path), head, list(names), rounds, later)!r}\n" + CHILD
    child = run_child(script, timeout=timeout, env={"PATH": str(empty)})
    assert child.returncode == 0, child.stderr[-3000:]
    return [json.loads(line) for line in child.stdout.splitlines()]


def outcomes_of(lines: list) -> dict[str, dict]:
    return {name: outcome for _, name, outcome in lines}


def declined_in(outcomes: dict[str, dict]) -> set[str]:
    """What the calls declined, together."""
    return {reason for outcome in outcomes.values() for reason in outcome["declined"]}


# --- a pipe, a socket or a device where git keeps a regular file ---------------------------------------

# The calls that raise OSError naming the file; every other call answers, as
# its own guards treat a failing read (HEAD and the index are read only under
# such guards, a branch's head where a missing one is allowed for). None of
# them declines (decline_reasons): the store refuses the file itself.
RAISING = {
    "loose ref": {"list_commits", "count_commits", "list_branches", "get_commit_refs"},
    "packed-refs": {"list_commits", "count_commits", "list_branches", "get_commit_refs"},
    "HEAD": set(),
    "loose object": {"list_commits", "count_commits", "get_commit_refs"},
    "index": set(),
}


@pytest.mark.parametrize("kind", ["named pipe", "link to /dev/zero", "socket"])
@pytest.mark.parametrize("place", list(RAISING))
def test_a_file_that_is_no_regular_file_raises_naming_it(repo, tmp_path, place, kind):
    ids = build(repo)
    path = place_path(repo, ids, place)
    put_special_file(path, kind)
    outcomes = outcomes_of(call_in_child(repo, ids["main"], CALLS, tmp_path))
    assert list(outcomes) == CALLS
    assert_declined(declined_in(outcomes), NOTHING)
    for name, outcome in outcomes.items():
        assert outcome["seconds"] < 10, (name, outcome)
        if name in RAISING[place]:
            assert (outcome["raised"], outcome["errno"], outcome["filename"]) == ("OSError", 22, str(path)), name
            assert "Not a regular file" in outcome["text"]
        else:
            assert outcome["raised"] is None, (name, outcome)


@pytest.mark.parametrize("kind", ["named pipe", "link to /dev/zero"])
def test_the_store_refuses_pipes_and_devices_in_every_file_it_reads(repo, tmp_path, kind, object_format,
                                                                    probe_format):
    ids = build(repo)
    git_dir = repo.path / ".git"
    repo.git("repack", "-a", "-d", "-q")
    index = git_dir / "index"
    put_special_file(index, kind)
    with pytest.raises(OSError) as raised:
        probe.read_index(str(index))
    assert (raised.value.errno, raised.value.filename) == (22, str(index))

    # A pack index, and the pack itself.
    [pack] = (git_dir / "objects" / "pack").glob("*.pack")
    for path in (pack.with_suffix(".idx"), pack):
        saved = path.read_bytes()
        path.chmod(0o644)
        put_special_file(path, kind)
        with pytest.raises(OSError) as raised:
            probe.read_objects(str(git_dir), str(git_dir / "objects"), [ids["main"]])
        assert raised.value.filename == str(path)
        path.unlink()
        path.write_bytes(saved)
    assert probe.read_objects(str(git_dir), str(git_dir / "objects"), [ids["main"]])[0][0] == 1

    # The graph's chain file, a linked worktree's common directory file, and alternates.
    for path in (git_dir / "objects" / "info" / "commit-graphs" / "commit-graph-chain", git_dir / "commondir",
                 git_dir / "objects" / "info" / "alternates"):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("")
        put_special_file(path, kind)
        with pytest.raises(OSError) as raised:
            if path.name == "alternates":
                probe.read_objects(str(git_dir), str(git_dir / "objects"), ["0" * len(ids["main"])])
            else:
                probe.graph_open(str(git_dir), str(git_dir / "objects"))
        assert raised.value.filename == str(path)
        path.unlink()


@pytest.mark.parametrize("kind", ["named pipe", "link to /dev/zero"])
def test_a_shallow_file_that_is_no_regular_file_stops_the_walks(repo, tmp_path, kind):
    ids = build(repo)
    shallow = repo.path / ".git" / "shallow"
    shallow.write_text("")
    outcomes = outcomes_of(call_in_child(repo, ids["main"], ["list_commits", "count_commits"], tmp_path,
                                         later=(str(shallow), kind)))
    assert_declined(declined_in(outcomes), NOTHING)
    for outcome in outcomes.values():
        assert (outcome["raised"], outcome["filename"]) == ("OSError", str(shallow))


class PlainRefs(DiskRefsContainer):
    """dulwich's disk reference container under another name: the module then reads refs through it."""


def test_the_plain_road_reads_such_a_file_as_dulwich_does(repo, hide_git):
    # A socket cannot hold dulwich up: it reads one as no loose ref at all.
    ids = build(repo)
    path = place_path(repo, ids, "loose ref")
    put_special_file(path, "socket")
    hide_git()
    with pytest.raises(OSError) as raised:
        gsc.GitServiceCython(str(repo.path)).list_commits("main")
    assert raised.value.filename == str(path)
    plain = LibraryRepo(str(repo.path))
    plain.refs = PlainRefs(plain.refs.path, plain.refs.worktree_path)
    with pytest.raises(KeyError):
        library_service(repo.path, plain).list_commits("main")


def test_a_directory_where_a_loose_ref_could_be_is_read_as_before(repo, tmp_path):
    ids = build(repo)
    repo.git("branch", "team/one", ids["first"])
    outcomes = outcomes_of(call_in_child(repo, ids["main"], ["list_branches", "get_commit_refs"], tmp_path))
    assert_declined(declined_in(outcomes), NOTHING)
    assert all(outcome["raised"] is None for outcome in outcomes.values())


# --- loose objects larger than any object the store builds ---------------------------------------------


def test_a_header_claiming_more_than_the_bound_over_a_short_stream_is_left_to_dulwich(repo):
    # Only a stream that really runs past the bound is refused: a header alone claims nothing dulwich
    # would build (it inflates the few bytes there are and raises on them).
    ids = build(repo)
    git_dir = repo.path / ".git"
    write_loose(object_path(repo, ids["main"]), b"commit %d\0" % BIG, 0)
    assert probe.read_objects(str(git_dir), str(git_dir / "objects"), [ids["main"]], 8 << 30) == ["declined"]
    assert_declined(probe_reasons(), CLAIMS_PAST_THE_BOUND)


def test_a_loose_object_declaring_more_than_the_bound_in_a_short_stream_answers_as_dulwich(repo, hide_git):
    # The header says 300 MB, the stream holds one small commit: dulwich inflates those few bytes (and
    # then finds they do not hash to the id, or never reads them), so nothing balloons; the calls that
    # meet the object must raise or answer as through dulwich, not raise the store's bound.
    ids = build(repo)
    text = (f"tree 4b825dc642cb6eb9a060e54bf8d69288fbee4904\nparent {ids['main']}\n"
            "author A <a@x> 1600000009 +0000\ncommitter A <a@x> 1600000009 +0000\n\nodd\n").encode()
    raw = b"commit %d\0" % (300 * 1000 * 1000) + text
    oid = hashlib.sha1(raw).hexdigest()
    object_path(repo, oid).parent.mkdir(parents=True, exist_ok=True)
    object_path(repo, oid).write_bytes(zlib.compress(raw))
    (repo.path / ".git" / "refs" / "heads" / "odd").write_text(oid + "\n")
    hide_git()

    def calls(service) -> dict:
        return {"count": answer_of(lambda: service.count_commits("odd")),
                "list": answer_of(lambda: service.list_commits("odd")),
                "refs": answer_of(lambda: service.get_commit_refs(oid))}

    with listening() as heard:
        native = calls(gsc.GitServiceCython(str(repo.path)))
    assert_declined(heard.reasons, CLAIMS_PAST_THE_BOUND)
    assert native == calls(library_service(repo.path))


def test_a_loose_object_stays_within_the_size_its_header_declares(repo):
    ids = build(repo)
    git_dir = repo.path / ".git"
    path = object_path(repo, ids["main"])

    def read(limit: int = -1):
        return probe.read_objects(str(git_dir), str(git_dir / "objects"), [ids["main"]], limit)[0]

    assert read()[0] == 1
    content = zlib.decompress(path.read_bytes()).split(b"\0", 1)[1]
    # Within the bound: a stream that runs long or ends short is dulwich's to read.
    for declared, declines in ((len(content) - 1, "loose object: inflates past the size its header declares"),
                               (len(content) + 1, "loose object: shorter than its header declares")):
        write_loose(path, b"commit %d\0" % declared, len(content))
        assert read() == "declined"
        assert_declined(probe_reasons(), declines)
    # Past the bound, a stream that runs long is refused, whatever the header says.
    write_loose(path, b"commit 10\0", MAX_OBJECT + 1)
    with pytest.raises(ValueError, match="inflates to more than") as raised:
        read(8 << 30)
    assert str(path) in str(raised.value)
    # An object above the repository's own limit is dulwich's to refuse.
    write_loose(path, b"commit 2000\0", 2000)
    assert read(1000) == "declined"
    assert_declined(probe_reasons(), "loose object: larger than the loose object size limit")
    # A loose file larger than any object within the bound can be stored in.
    path.unlink()
    with open(path, "wb") as out:
        out.write(zlib.compress(b"commit 1\0x"))
        out.truncate(MAX_OBJECT + (MAX_OBJECT >> 9))
    with pytest.raises(ValueError, match="loose object file of") as raised:
        read()
    assert str(path) in str(raised.value)


@pytest.fixture(scope="module")
def huge_loose_files(tmp_path_factory) -> dict[str, bytes]:
    """600 MiB of content in a loose file of 0.6 MB: with its size in its
    header, and behind a header that declares 100 bytes."""
    directory = tmp_path_factory.mktemp("huge")
    files = {}
    for header, declared in (("declared", BIG), ("running long", 100)):
        write_loose(directory / header, b"commit %d\0" % declared, BIG)
        files[header] = (directory / header).read_bytes()
    return files


# dulwich reads core.bigFileThreshold with int(): 4 GiB written out.
@pytest.mark.parametrize("threshold", [None, str(4 << 30)])
@pytest.mark.parametrize("header", ["declared", "running long"])
def test_a_huge_loose_object_raises_in_bounded_memory(repo, tmp_path, huge_loose_files, threshold, header):
    ids = build(repo)
    if threshold:
        repo.git("config", "core.bigFileThreshold", threshold)
    path = object_path(repo, ids["main"])
    path.chmod(0o644)
    path.write_bytes(huge_loose_files[header])
    assert path.stat().st_size < 2 << 20
    outcomes = outcomes_of(call_in_child(repo, ids["main"], ["list_commits", "get_commit_refs"], tmp_path))
    assert_declined(declined_in(outcomes), NOTHING)  # the store refuses the file itself
    for outcome in outcomes.values():
        assert outcome["raised"] == "ValueError", outcome
        assert str(path) in outcome["text"]
        assert outcome["growth"] < 64 << 20, outcome


def test_a_commit_above_the_repositorys_own_limit_is_read_as_dulwich_reads_it(repo, tmp_path):
    ids = build(repo)
    repo.git("config", "core.bigFileThreshold", "100")
    outcomes = outcomes_of(call_in_child(repo, ids["main"], ["list_commits"], tmp_path))
    assert_declined(declined_in(outcomes), "loose object: larger than the loose object size limit")
    # dulwich refuses to inflate more than its limit: its own error stands.
    assert outcomes["list_commits"]["raised"] == "error"
    assert "exceeds maximum size" in outcomes["list_commits"]["text"]


# --- an index describing ever longer paths -------------------------------------------------------------


def test_an_index_whose_paths_outgrow_what_git_writes_is_damaged(repo, tmp_path, object_format, probe_format):
    ids = build(repo)
    index = repo.path / ".git" / "index"
    # Each entry's path one byte longer than the one before: 64 bytes an entry (76 in SHA-256).
    index.write_bytes(v4_index(growing(62_000), object_format))
    assert index.stat().st_size < 5 << 20
    with pytest.raises(ValueError) as raised:
        probe.read_index(str(index))
    assert str(index) in str(raised.value) and "4097" in str(raised.value) and "4096" in str(raised.value)
    assert probe.parse_index(index.read_bytes()) is None
    # The scan reads no index then, as for any index it cannot read, in bounded memory.
    outcome = outcomes_of(call_in_child(repo, ids["main"], ["get_file_status"], tmp_path))["get_file_status"]
    assert_declined(set(outcome["declined"]), NOTHING)  # the store refuses the index itself
    assert outcome["raised"] is None and outcome["growth"] < 64 << 20, outcome


def test_an_index_path_of_the_longest_length_git_writes_is_read(object_format, probe_format):
    read = probe.parse_index(v4_index(growing(2, b"a" * 4095), object_format))
    assert read is not None and [len(path) for path, *_ in read[1]] == [4095, 4096]
    assert {len(oid) for _, oid, *_ in read[1]} == {2 * hashlib.new(object_format).digest_size}
    assert probe.parse_index(v4_index(growing(3, b"a" * 4095), object_format)) is None


# --- packed-refs read whole ------------------------------------------------------------------------------


def many_tags(repo: GitRepo, target: str, count: int) -> Path:
    """A packed-refs file of `count` tags at `target`, besides what git packed."""
    repo.git("pack-refs", "--all")
    packed = repo.path / ".git" / "packed-refs"
    lines = packed.read_bytes().splitlines(keepends=True)
    tags = [f"{target} refs/tags/many/{i:06d}\n".encode() for i in range(count)]
    body = sorted(lines[1:] + tags, key=lambda line: line.split(b" ", 1)[1])
    packed.write_bytes(lines[0] + b"".join(body))
    return packed


def test_packed_refs_are_read_once_per_file(repo, tmp_path):
    ids = build(repo)
    packed = many_tags(repo, ids["second"], 50_000)
    size = packed.stat().st_size
    lines = call_in_child(repo, ids["second"], ["get_commit_refs", "list_branches", "new service"], tmp_path,
                          rounds=3)
    reads = {(round, name): outcome for round, name, outcome in lines}
    assert all(outcome["raised"] is None for outcome in reads.values())
    assert reads[0, "get_commit_refs"]["read"] >= size
    # Later calls, of this service and of a new one, read nothing of it again.
    for round in (1, 2):
        for name in ("get_commit_refs", "list_branches"):
            assert reads[round, name]["read"] < size // 10, (round, name, reads[round, name])


CUTTING = textwrap.dedent("""
    import os, threading, time
    import git_service_cython as gsc
    root, head, packed = CONFIG
    whole = open(packed, "rb").read()
    service = gsc.GitServiceCython(root)
    stop = threading.Event()
    def cut():
        # Cut short and written back in place, never replaced.
        while not stop.is_set():
            with open(packed, "r+b") as out:
                out.truncate(len(whole) // 3)
                out.truncate(0)
                out.write(whole)
    cutter = threading.Thread(target=cut)
    cutter.start()
    answers = errors = 0
    deadline = time.monotonic() + 4
    while time.monotonic() < deadline:
        for call in (lambda: service.get_commit_refs(head), service.list_branches, service.list_tags):
            try:
                call()
                answers += 1
            except Exception:
                errors += 1
    stop.set()
    cutter.join()
    print(answers, errors)
""")


def test_packed_refs_cut_short_in_place_while_read_never_kill_the_process(repo, tmp_path):
    ids = build(repo)
    packed = many_tags(repo, ids["second"], 20_000)
    empty = tmp_path / "no-git-bin"
    empty.mkdir()
    script = f"CONFIG = {(str(repo.path), ids['second'], str(packed))!r}\n" + CUTTING
    child = run_child(script, timeout=120, env={"PATH": str(empty)})
    assert child.returncode == 0, child.stderr[-3000:]
    answers, _ = map(int, child.stdout.split())
    assert answers > 0


def test_packed_refs_cut_short_between_calls_read_as_they_are_now(repo, hide_git):
    ids = build(repo)
    packed = many_tags(repo, ids["second"], 200)
    hide_git()
    whole = packed.read_bytes()
    service = gsc.GitServiceCython(str(repo.path))
    middle = len(whole) // 2
    # Each cut, and why the native road declines the file then: whole lines it reads.
    cuts = [(len(whole), NOTHING), (middle, f"packed-refs: line {whole.count(b'\n', 0, middle) + 1} malformed"),
            (whole.index(b"\n", middle) + 1, NOTHING), (0, "packed-refs: empty file"), (len(whole), NOTHING)]
    for cut, declines in cuts:
        with open(packed, "r+b") as out:
            out.truncate(0)
            out.write(whole[:cut])
        plain = library_service(repo.path)
        for call in (lambda s: s.get_commit_refs(ids["second"]), lambda s: s.list_branches(),
                     lambda s: s.get_branch_info("main")):
            with listening() as heard:
                native = answer_of(lambda c=call: c(service))
            assert_declined(heard.reasons, declines)
            assert native == answer_of(lambda c=call, p=plain: c(p)), cut
