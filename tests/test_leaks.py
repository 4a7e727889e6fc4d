"""References, descriptors and mappings: thousands of calls of every public method (and of
the walk's generator protocol, pickling and the argument errors) leave the
interpreter's allocations, the C heap and the open file descriptors where a
first batch of the same calls left them.

git's answers are recorded once from the real program and replayed, so that the
loop spends its time in the module rather than in starting processes; the
no-git road raises as a missing program does."""

import ctypes
import gc
import os
import pickle
import subprocess
import sys
import tracemalloc
import types

import git_service_cython as gsc
import pytest
from conftest import init_repo
from git_service_cython import GitServiceCython
from hardening_helpers import build_rich, intact_trees, method_calls

# Without the host's small-object allocator (the sanitizer build runs with
# PYTHONMALLOC=malloc) there are no blocks to count: tracemalloc measures the
# host's allocations instead, on fewer calls, as it slows every one of them.
COUNTING_BLOCKS = sys.getallocatedblocks() > 0
WARM_UP = 200 if COUNTING_BLOCKS else 100
CALLS = 1000 if COUNTING_BLOCKS else 200
# Allowed growth over one batch: caches filling (dulwich's object cache, the
# host's regular-expression cache) stay far below one object per call.
BLOCK_ALLOWANCE = CALLS // 10
TRACED_ALLOWANCE = 3 * 1024
HEAP_ALLOWANCE = 32 * 1024


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                     "fsmblks", "uordblks", "fordblks", "keepcost")]


def c_heap_in_use():
    """Bytes the C allocator has handed out (glibc's mallinfo2), or None."""
    try:
        mallinfo2 = ctypes.CDLL("libc.so.6").mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = Mallinfo2
    return mallinfo2().uordblks


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def mapped_files():
    """The files mapped into the process (the object store maps packs, indexes and graphs)."""
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if " /" in line)


class Usage:
    """What a batch of calls may not make grow."""

    def __init__(self):
        # The host's type attribute cache keeps the names it was asked for
        # (dulwich makes a new one per attribute read) until 4096 are held:
        # emptied at each measurement, it counts against neither side.
        sys._clear_type_cache()
        gc.collect()
        self.blocks = sys.getallocatedblocks()
        self.traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
        self.heap = c_heap_in_use()
        self.descriptors = open_descriptors()
        self.mappings = mapped_files()

    def growth_since(self, before):
        growth = {}
        if COUNTING_BLOCKS and self.blocks - before.blocks > BLOCK_ALLOWANCE:
            growth["blocks"] = self.blocks - before.blocks
        if not COUNTING_BLOCKS and self.traced - before.traced > TRACED_ALLOWANCE:
            growth["traced bytes"] = self.traced - before.traced
        if COUNTING_BLOCKS and self.heap is not None and self.heap - before.heap > HEAP_ALLOWANCE:
            growth["heap bytes"] = self.heap - before.heap
        if self.descriptors != before.descriptors:
            growth["descriptors"] = (before.descriptors, self.descriptors)
        if self.mappings > before.mappings:
            growth["mapped files"] = self.mappings - before.mappings
        return growth


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:  # noqa: BLE001, S110 - failing calls are measured as well
            pass


def batch_growth(calls, times):
    """What `times` calls of each of `calls` left behind, after a warm-up batch."""
    for call in calls:
        repeat(call, WARM_UP)
    before = Usage()
    for call in calls:
        repeat(call, times)
    return Usage().growth_since(before)


def growth_of(calls):
    """{} when CALLS calls of each of `calls` grow nothing; otherwise the growth
    of each call found to grow on its own (a full collection costs more than
    many calls, so the calls are measured one by one only then)."""
    if not batch_growth(calls.values(), CALLS):
        return {}
    return {name: growth for name, call in calls.items() if (growth := batch_growth([call], CALLS))} or {
        "all together": batch_growth(calls.values(), CALLS)}


@pytest.fixture
def traced():
    if COUNTING_BLOCKS:
        yield
        return
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.fixture(params=["loose", "packed with a commit-graph"])
def recorded_git(repo, monkeypatch, request):
    """A repository (its objects loose, or packed with a commit-graph for the
    object store to map), a service on it, its calls, and git's recorded
    answers to them."""
    rich = build_rich(repo.path.parent / "rich")
    if request.param != "loose":
        rich.repo.git("repack", "-a", "-d", "-q")
        rich.repo.git("commit-graph", "write", "--reachable")
    service = GitServiceCython(str(rich.path))
    calls = method_calls(rich, intact_trees(rich))
    answers = {}
    real_run = subprocess.run

    def record(args, **kwargs):
        answers[tuple(args)] = result = real_run(args, **kwargs)
        return result

    monkeypatch.setattr(subprocess, "run", record)
    for call in calls.values():
        call(service)
    monkeypatch.setattr(subprocess, "run", real_run)
    return rich, service, calls, answers


def test_every_method_on_the_git_road(recorded_git, monkeypatch, traced):
    _, service, calls, answers = recorded_git

    def replay(args, **kwargs):
        if tuple(args) in answers:
            return answers[tuple(args)]
        return types.SimpleNamespace(returncode=1, stdout="" if kwargs.get("text") else b"", stderr="")

    monkeypatch.setattr(subprocess, "run", replay)
    assert growth_of({name: (lambda call=call: call(service)) for name, call in calls.items()}) == {}


def test_every_method_without_git(recorded_git, monkeypatch, traced):
    _, service, calls, _ = recorded_git

    def missing(args, **kwargs):
        raise FileNotFoundError(2, "No such file or directory", "git")

    monkeypatch.setattr(subprocess, "run", missing)
    assert growth_of({name: (lambda call=call: call(service)) for name, call in calls.items()}) == {}


class WithDict(GitServiceCython):
    pass


def expect(error, call, *args, **kwargs):
    """Calls and checks that it raises `error`, so that the loop measures the error path."""
    def run():
        try:
            call(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{call} did not raise {error.__name__}")
    return run


def test_generators_pickling_construction_and_argument_errors(recorded_git, tmp_path, traced):
    rich, service, _, _ = recorded_git
    head = rich.ids["main"].encode()
    walk = service._iter_commits_optimized

    def walk_part_then_close():
        items = walk(head, -1)
        next(items)
        items.close()

    def walk_throw():
        items = walk(head, -1)
        next(items)
        try:
            items.throw(ValueError("stop"))
        except ValueError:
            pass

    def walk_send_to_the_end():
        items = walk(head, 2)
        items.send(None)
        items.send(None)
        try:
            items.send(None)
        except StopIteration:
            pass

    def walk_abandoned():
        items = walk(head, -1)
        next(items)

    def pickle_fresh():
        pickle.loads(pickle.dumps(GitServiceCython.__new__(GitServiceCython)))

    def pickle_with_dict():
        fresh = WithDict.__new__(WithDict)
        fresh.note = "kept"
        assert pickle.loads(pickle.dumps(fresh)).note == "kept"

    def reduce_and_set_state():
        restored = GitServiceCython.__new__(GitServiceCython)
        restored.__setstate__(service.__reduce__()[2])

    outside = tmp_path / "outside"
    outside.mkdir()
    extra = {
        "walk to the end": lambda: list(walk(head, -1)),
        "walk part then close": walk_part_then_close,
        "walk throw": walk_throw,
        "walk send": walk_send_to_the_end,
        "walk abandoned": walk_abandoned,
        "walk of a missing object": expect(KeyError, lambda: list(walk(b"0" * 40, -1))),
        "pickle a fresh object": pickle_fresh,
        "pickle a subclass with a dictionary": pickle_with_dict,
        "reduce and set state": reduce_and_set_state,
        "unpickle with a wrong checksum": expect(pickle.PickleError, gsc.__pyx_unpickle_GitServiceCython,
                                                 GitServiceCython, 1, None),
        "set a short state": expect(TypeError, service.__setstate__, (None,)),
        "construct": lambda: GitServiceCython(str(rich.path)),
        "construct outside a repository": expect(gsc.NotGitRepository, GitServiceCython, str(outside)),
        "wrong type": expect(TypeError, service.list_commits, b"main"),
        "str subclass": expect(TypeError, service.get_branch_info, type("S", (str,), {})("main")),
        "int too large": expect(OverflowError, service.list_commits, "main", 2**40),
        "no integer": expect(TypeError, service.get_stash_diff, "0"),
        "unknown keyword": expect(TypeError, service.count_commits, "main", nope=1),
        "missing argument": expect(TypeError, service.count_commits),
        "too many arguments": expect(TypeError, service.list_branches, 1),
        "None refused": expect(TypeError, service._is_path_ignored, None, []),
        "not hexadecimal": expect(ValueError, service.get_commit_refs, "zz"),
        "a method of another object": expect(TypeError, GitServiceCython.list_tags, object()),
    }
    assert growth_of(extra) == {}


@pytest.mark.parametrize("object_format", ["sha1", "sha256"])
def test_refs_in_reftables_without_git(tmp_path, monkeypatch, newer_git, object_format, traced):
    """The refs read from reftables (and the KeyErrors of the ones that are not
    there) leave nothing behind; with SHA-256 ids every read is the store's."""
    monkeypatch.setenv("GIT_TEST_REFTABLE_AUTOCOMPACTION", "false")
    repo = init_repo(tmp_path / "repo", program=newer_git, object_format=object_format,
                     options=("--ref-format=reftable",))
    first = repo.commit("one", files={"a.txt": "a\n"})
    repo.git("branch", "side")
    repo.commit("two", files={"a.txt": "b\n"})
    repo.git("tag", "-a", "-m", "tag", "v1")
    repo.git("update-ref", "refs/remotes/origin/main", first)
    repo.git("symbolic-ref", "refs/heads/dangling", "refs/heads/nowhere")
    repo.write("a.txt", "c\n")
    service = GitServiceCython(str(repo.path))

    def missing(args, **kwargs):
        raise FileNotFoundError(2, "No such file or directory", "git")

    monkeypatch.setattr(subprocess, "run", missing)
    calls = {
        "list_commits": lambda: service.list_commits("main"),
        "a missing branch": expect(KeyError, service.list_commits, "gone"),
        "a dangling branch": expect(KeyError, service.count_commits, "dangling"),
        "count_commits": lambda: service.count_commits("side"),
        "get_merge_base": lambda: service.get_merge_base("side"),
        "list_remote_branches": service.list_remote_branches,
        "get_branch_info": lambda: service.get_branch_info("main"),
        "get_branch_info of a missing branch": lambda: service.get_branch_info("gone"),
        "get_commit_refs": lambda: service.get_commit_refs(first),
        "get_file_status": service.get_file_status,
    }
    assert growth_of(calls) == {}
