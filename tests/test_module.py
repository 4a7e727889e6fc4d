"""The module surface: import, records, the class, argument rules, construction and pickling."""

import dataclasses
import gc
import importlib
import importlib.util
import inspect
import os
import pickle
import subprocess
import sys
import weakref

import git_service_cython as gsc
import pytest
from git_service_cython import GitServiceCython
from public_methods import METHODS

METHOD_ORDER = list(METHODS)


class Sub(GitServiceCython):
    """A subclass with an instance dictionary, picklable by reference."""


# --- import surface ---------------------------------------------------------------------------------


def test_names_are_bound_in_order():
    own = [name for name in vars(gsc) if not (name.startswith("__") and name.endswith("__"))]
    assert own == ["dataclass", "Path", "stat", "Repo", "NotGitRepository", "BranchInfo", "CommitInfo",
                   "FileStatus", "StashInfo", "TagInfo", "GitServiceCython", "__pyx_unpickle_GitServiceCython"]
    import dataclasses as dc
    import pathlib
    import stat

    import dulwich.errors
    import dulwich.repo
    assert gsc.dataclass is dc.dataclass and gsc.Path is pathlib.Path and gsc.stat is stat
    assert gsc.Repo is dulwich.repo.Repo and gsc.NotGitRepository is dulwich.errors.NotGitRepository


def test_import_warns_nothing_and_reimport_gives_the_same_module():
    code = ("import warnings; warnings.simplefilter('error'); import git_service_cython as m, sys; "
            "del sys.modules['git_service_cython']; import git_service_cython as n; assert m is n")
    subprocess.run([sys.executable, "-c", code], check=True)
    assert importlib.reload(gsc) is gsc


def test_creating_again_returns_the_existing_module():
    spec = importlib.util.spec_from_file_location("git_service_cython", gsc.__file__)
    again = importlib.util.module_from_spec(spec)
    assert again is gsc
    spec.loader.exec_module(again)
    assert gsc.GitServiceCython is GitServiceCython


def test_spec_attributes_are_copied():
    code = ("import git_service_cython as m; "
            "assert m.__file__ == m.__spec__.origin and m.__loader__ is m.__spec__.loader; "
            "assert m.__package__ == '' and not hasattr(m, '__path__') and m.__doc__ is None")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_only_the_init_function_is_exported():
    result = subprocess.run(["nm", "-D", "--defined-only", gsc.__file__], capture_output=True, text=True,
                            check=False)
    if result.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_git_service_cython"]


# --- records ----------------------------------------------------------------------------------------

RECORD_FIELDS = {
    "BranchInfo": [("name", "str", None), ("head_sha", "str", None), ("timestamp", "int", 0)],
    "CommitInfo": [("sha", "str", None), ("summary", "str", None), ("author", "str", None),
                   ("timestamp", "int", None), ("pushed", "bool", False)],
    "FileStatus": [("path", "str", None), ("status", "str", None), ("staged", "bool", None),
                   ("unstaged", "bool", False)],
    "StashInfo": [("index", "int", None), ("branch", "str", None), ("message", "str", None),
                  ("name", "str", None), ("sha", "str", None), ("timestamp", "int", 0)],
    "TagInfo": [("name", "str", None), ("message", "str", None), ("timestamp", "int", None),
                ("sha", "str", None), ("is_annotated", "bool", False)],
}


@pytest.mark.parametrize("name", list(RECORD_FIELDS))
def test_records_are_plain_dataclasses(name):
    record = getattr(gsc, name)
    assert dataclasses.is_dataclass(record)
    assert record.__module__ == "git_service_cython" and record.__qualname__ == name
    fields = [(f.name, f.type, None if f.default is dataclasses.MISSING else f.default)
              for f in dataclasses.fields(record)]
    assert fields == RECORD_FIELDS[name]
    assert record.__annotations__ == {field: kind for field, kind, _ in RECORD_FIELDS[name]}
    params = dataclasses.fields(record)
    assert not record.__dataclass_params__.frozen and record.__hash__ is None
    assert len(params) == len(RECORD_FIELDS[name])


def test_record_behaviour():
    commit = gsc.CommitInfo("a", "b", "c", 1)
    assert commit.pushed is False
    assert commit == gsc.CommitInfo(sha="a", summary="b", author="c", timestamp=1, pushed=False)
    assert commit != gsc.CommitInfo("a", "b", "c", 2)
    assert repr(commit) == "CommitInfo(sha='a', summary='b', author='c', timestamp=1, pushed=False)"
    with pytest.raises(TypeError):
        hash(commit)
    commit.summary = "changed"
    assert commit.summary == "changed"
    with pytest.raises(TypeError):
        gsc.StashInfo(0, "main", "message", "name")
    assert gsc.StashInfo(0, "main", "message", "name", "").timestamp == 0
    assert gsc.BranchInfo("main", "abc").timestamp == 0
    assert gsc.FileStatus("a", "modified", True).unstaged is False


# --- the class --------------------------------------------------------------------------------------


def test_every_method_of_the_class_is_listed_for_the_suites():
    # The module's method table: its function objects, one as a static method.
    table_function = type(vars(GitServiceCython)["list_commits"])
    on_class = [name for name, value in vars(GitServiceCython).items()
                if isinstance(getattr(value, "__func__", value), table_function)]
    assert on_class == METHOD_ORDER, (
        "the class's methods differ from METHODS in tests/public_methods.py: list each method there, "
        "in the class's order, with its parameters and a sample call")


def test_class_shape():
    assert GitServiceCython.__module__ == "git_service_cython"
    assert GitServiceCython.__qualname__ == "GitServiceCython"
    assert GitServiceCython.__doc__ is None
    methods = [name for name in vars(GitServiceCython) if name in METHOD_ORDER]
    assert methods == METHOD_ORDER
    assert "__reduce_cython__" not in vars(GitServiceCython)
    service = GitServiceCython.__new__(GitServiceCython)
    assert not hasattr(service, "__dict__")
    with pytest.raises(AttributeError):
        service.anything = 1
    with pytest.raises(TypeError):
        GitServiceCython.extra = 1


def test_fields_are_private(repo):
    service = GitServiceCython(str(repo.path))
    for name in ("repo", "repo_path"):
        with pytest.raises(AttributeError):
            getattr(service, name)
        with pytest.raises(AttributeError):
            setattr(service, name, None)


DOCSTRINGS = {
    "count_commits": "Count commits for a branch using Git's native command (fastest, no caching).",
    "list_branches": "List all local branches using git for-each-ref with timestamps.",
    "list_remote_branches": "List all remote branches using git for-each-ref with timestamps.",
    "get_merge_base": "Find the merge-base (common ancestor) between branch and base_branch.",
    "get_commit_refs": "Get branch references and metadata for a commit.",
    "get_branch_info": "Get information about a branch.",
    "get_commit_diff": "Get diff for a commit using git-native command (avoids dulwich hex_to_sha issues).",
    "_find_in_tree": "Recursively find file in tree and return its SHA.",
    "_is_ignored": "Check if a file is ignored by .gitignore rules.",
    "_build_head_file_map": "Build a file-to-SHA map from HEAD tree in a single pass (no caching).",
    "_compile_gitignore_patterns": "Compile .gitignore patterns once per call (no caching).",
    "_is_path_ignored": "Check if a file path matches compiled .gitignore patterns.",
    "_is_directory_ignored": "Check if a directory should be skipped (ignored).",
    "get_file_status": "Optimized version using native git status --porcelain (10x faster than dulwich).",
    "list_stashes": ("Get list of stashes using git stash list command.\n"
                     "        Optimized: Doesn't fetch SHA (lazy-loaded when needed for performance).\n        "),
    "get_stash_diff": ("\n        Get diff and stat for a stash using git stash show command.\n"
                       "        Returns tuple of (diff_text, stat_text).\n        "),
    "_find_repo_root": None,
    "__reduce__": None,
    "__setstate__": None,
}


@pytest.mark.parametrize("name", list(DOCSTRINGS))
def test_docstrings(name):
    assert getattr(GitServiceCython, name).__doc__ == DOCSTRINGS[name]


def test_log_decoration_docstring_layout():
    lines = GitServiceCython.get_commit_refs_from_git_log.__doc__.split("\n")
    assert lines[1].strip() == "Uses git log with %D format to get refs in a single call instead of per-commit lookups."
    assert lines[2] == ""
    assert lines[3].strip() == "Returns a dict mapping commit_sha -> refs dict."
    assert GitServiceCython.list_tags.__doc__.startswith(
        "List all tags using git for-each-ref with timestamps and messages.")


def test_method_metadata():
    method = GitServiceCython.list_commits
    assert method.__name__ == "list_commits" and method.__qualname__ == "GitServiceCython.list_commits"
    assert method.__module__ == "git_service_cython"
    assert method.__defaults__ == (200, 0, False)
    assert GitServiceCython.get_merge_base.__defaults__ == ("main",)
    assert GitServiceCython._build_head_file_map.__defaults__ == ("",)
    assert GitServiceCython.list_branches.__defaults__ is None
    assert GitServiceCython._find_repo_root.__annotations__ == {"path": "Path", "return": "Path"}
    assert GitServiceCython._is_path_ignored.__annotations__ == {
        "file_path": "str", "compiled_patterns": "list", "return": "bool"}
    assert GitServiceCython._is_directory_ignored.__annotations__ == {
        "dir_path": "str", "compiled_patterns": "list", "return": "bool"}
    assert GitServiceCython.list_commits.__annotations__ == {}
    assert pickle.loads(pickle.dumps(GitServiceCython.list_commits)) is GitServiceCython.list_commits


def test_signatures(repo):
    service = GitServiceCython(str(repo.path))
    assert str(inspect.signature(GitServiceCython)) == "(start_dir)"
    assert str(inspect.signature(GitServiceCython.list_commits)) == (
        "(self, branch, max_count=200, skip=0, show_full_history=False)")
    assert str(inspect.signature(service.list_commits)) == "(branch, max_count=200, skip=0, show_full_history=False)"
    assert str(inspect.signature(service.get_merge_base)) == "(branch, base_branch='main')"
    assert str(inspect.signature(service.list_branches)) == "()"
    assert str(inspect.signature(GitServiceCython._find_repo_root)) == "(path: 'Path') -> 'Path'"
    assert str(inspect.signature(service._find_repo_root)) == "(path: 'Path') -> 'Path'"
    assert str(inspect.signature(service._is_directory_ignored)) == (
        "(dir_path: 'str', compiled_patterns: 'list') -> 'bool'")
    assert str(inspect.signature(service.__setstate__)) == "(state, /)"
    assert str(inspect.signature(gsc.__pyx_unpickle_GitServiceCython)) == (
        "(__pyx_type, __pyx_checksum, __pyx_state)")


def test_binding():
    service = GitServiceCython.__new__(GitServiceCython)
    bound = service.list_branches
    assert bound.__self__ is service and bound.__func__ is GitServiceCython.list_branches
    assert GitServiceCython.__dict__["_find_repo_root"].__class__ is staticmethod
    with pytest.raises(TypeError, match="needs an argument"):
        GitServiceCython.list_branches()
    with pytest.raises(TypeError, match="doesn't apply to a 'str' object"):
        GitServiceCython.list_branches("not a service")


# --- argument rules ---------------------------------------------------------------------------------


class StrSub(str):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda s: s.list_commits(b"main"), "Argument 'branch' has incorrect type (expected str, got bytes)"),
    (lambda s: s.list_commits(StrSub("main")), "Argument 'branch' has incorrect type (expected str, got StrSub)"),
    (lambda s: s.get_merge_base("a", 1), "Argument 'base_branch' has incorrect type (expected str, got int)"),
    (lambda s: s._iter_commits_optimized("abc", 1),
     "Argument 'head_sha' has incorrect type (expected bytes, got str)"),
    (lambda s: s.get_commit_refs_from_git_log("main", ("a",)),
     "Argument 'commit_shas' has incorrect type (expected list, got tuple)"),
    (lambda s: s._is_path_ignored(None, []), "Argument 'file_path' has incorrect type (expected str, got NoneType)"),
    (lambda s: s._is_path_ignored("a", ()),
     "Argument 'compiled_patterns' has incorrect type (expected list, got tuple)"),
    (lambda s: s._is_directory_ignored("a", None),
     "Argument 'compiled_patterns' has incorrect type (expected list, got NoneType)"),
    (lambda s: s.list_commits(), "list_commits() takes at least 1 positional argument (0 given)"),
    (lambda s: s.list_commits("a", 1, 2, 3, 4), "list_commits() takes at most 4 positional arguments (5 given)"),
    (lambda s: s._iter_commits_optimized(b"a"), "_iter_commits_optimized() takes exactly 2 positional arguments (1 given)"),
    (lambda s: s._iter_commits_optimized(head_sha=b"a"),
     "_iter_commits_optimized() takes exactly 2 positional arguments (1 given)"),
    (lambda s: s._iter_commits_optimized(max_count=1),
     "_iter_commits_optimized() takes exactly 2 positional arguments (0 given)"),
    (lambda s: s.get_commit_diff(), "get_commit_diff() takes exactly 1 positional argument (0 given)"),
    (lambda s: s.list_branches(1), "list_branches() takes no arguments (1 given)"),
    (lambda s: s.list_branches(x=1), "list_branches() takes no keyword arguments"),
    (lambda s: s.list_commits("a", colour=1), "list_commits() got an unexpected keyword argument 'colour'"),
    (lambda s: s.list_commits("a", branch="b"), "list_commits() got multiple values for keyword argument 'branch'"),
    (lambda s: s.list_commits("a", max_count="5"), "an integer is required"),
    (lambda s: s.list_commits("a", skip=None), "an integer is required"),
    (lambda s: s.get_stash_diff(None), "an integer is required"),
    (lambda s: s.__setstate__(), "__setstate__() takes exactly one argument (0 given)"),
    (lambda s: s.__setstate__(state=(None, None)), "__setstate__() takes no keyword arguments"),
    (lambda s: s.__setstate__([None, None]), "Expected tuple, got list"),
    (lambda s: GitServiceCython(), "__init__() takes exactly 1 positional argument (0 given)"),
    (lambda s: GitServiceCython(".", "."), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda s: GitServiceCython(path="."), "__init__() takes exactly 1 positional argument (0 given)"),
    (lambda s: GitServiceCython(".", path="."), "__init__() got an unexpected keyword argument 'path'"),
])
def test_argument_errors(call, message):
    service = GitServiceCython.__new__(GitServiceCython)
    with pytest.raises(TypeError) as info:
        call(service)
    assert str(info.value) == message


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**70])
def test_int_arguments_are_32_bit(value):
    service = GitServiceCython.__new__(GitServiceCython)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        service.get_stash_diff(value)
    with pytest.raises(OverflowError):
        service.list_commits("main", max_count=float(value))


def test_int_conversion_comes_before_type_checks():
    service = GitServiceCython.__new__(GitServiceCython)
    with pytest.raises(TypeError, match="an integer is required"):
        service.list_commits(b"bytes", "not a number")


def test_setstate_refuses_none_and_short_states():
    service = GitServiceCython.__new__(GitServiceCython)
    with pytest.raises(TypeError):
        service.__setstate__(None)
    for state in ((), (1,)):
        with pytest.raises(TypeError):
            service.__setstate__(state)
        with pytest.raises(TypeError):
            gsc.__pyx_unpickle_GitServiceCython(GitServiceCython, 0x969DAC, state)


# --- construction and discovery ---------------------------------------------------------------------


def root_of(service):
    """The repository root a service found, read through its pickling state."""
    return service.__reduce__()[2][1]


def test_discovery_from_nested_and_symlinked_directories(repo, tmp_path):
    nested = repo.path / "a" / "b"
    nested.mkdir(parents=True)
    assert root_of(GitServiceCython(str(nested))) == repo.path.resolve()
    assert root_of(GitServiceCython(nested)) == repo.path.resolve()
    link = tmp_path / "link"
    link.symlink_to(nested)
    service = GitServiceCython(str(link))
    assert root_of(service) == repo.path.resolve()
    assert isinstance(service.__reduce__()[2][0], gsc.Repo)
    assert GitServiceCython._find_repo_root(gsc.Path(link)) == repo.path.resolve()


def test_dot_git_file_does_not_count(repo, tmp_path):
    inner = repo.path / "sub"
    inner.mkdir()
    (inner / ".git").write_text("gitdir: elsewhere\n")
    assert root_of(GitServiceCython(str(inner / "."))) == repo.path.resolve()
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / ".git").write_text("gitdir: elsewhere\n")
    with pytest.raises(gsc.NotGitRepository):
        GitServiceCython(str(outside))


def test_not_a_repository_message_keeps_the_relative_start(tmp_path, monkeypatch):
    (tmp_path / "plain" / "dir").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(gsc.NotGitRepository) as info:
        GitServiceCython("plain/dir")
    assert str(info.value) == "No .git found from plain/dir"
    with pytest.raises(gsc.NotGitRepository) as info:
        GitServiceCython._find_repo_root(gsc.Path("plain"))
    assert str(info.value) == "No .git found from plain"


def test_failed_construction_keeps_previous_fields(repo, tmp_path):
    service = GitServiceCython(str(repo.path))
    before = service.__reduce__()[2]
    with pytest.raises(gsc.NotGitRepository):
        service.__init__(str(tmp_path))
    with pytest.raises(TypeError):
        service.__init__(12)
    after = service.__reduce__()[2]
    assert after[0] is before[0] and after[1] == before[1]


def test_module_names_are_looked_up_at_use(repo, monkeypatch):
    seen = []

    class RecordingRepo(gsc.Repo):
        def __init__(self, root):
            seen.append(root)
            super().__init__(root)

    monkeypatch.setattr(gsc, "Repo", RecordingRepo)
    GitServiceCython(str(repo.path))
    assert seen == [str(repo.path.resolve())]
    monkeypatch.delattr(gsc, "Path")
    with pytest.raises(NameError, match="name 'Path' is not defined"):
        GitServiceCython(str(repo.path))


# --- pickling ---------------------------------------------------------------------------------------


def test_pickling_a_fresh_object():
    fresh = GitServiceCython.__new__(GitServiceCython)
    assert fresh.__reduce__() == (gsc.__pyx_unpickle_GitServiceCython, (GitServiceCython, 9870764, (None, None)))
    copy = pickle.loads(pickle.dumps(fresh))
    assert type(copy) is GitServiceCython and copy.__reduce__()[1][2] == (None, None)


def test_pickling_an_initialised_object(repo):
    service = GitServiceCython(str(repo.path))
    function, arguments, state = service.__reduce__()
    assert function is gsc.__pyx_unpickle_GitServiceCython
    assert arguments == (GitServiceCython, 9870764, None)
    assert isinstance(state[0], gsc.Repo) and state[1] == repo.path.resolve() and len(state) == 2
    # Whether the Repo itself pickles is up to dulwich.
    try:
        pickle.dumps(service)
    except Exception as error:  # noqa: BLE001 - any failure of dulwich's own is acceptable here
        assert not isinstance(error, SystemError)


def test_pickling_a_subclass_with_a_dictionary():
    sub = Sub.__new__(Sub)
    sub.label = "x"
    _function, arguments, state = sub.__reduce__()
    assert arguments == (Sub, 9870764, None) and state == (None, None, {"label": "x"})
    copy = pickle.loads(pickle.dumps(sub))
    assert type(copy) is Sub and copy.label == "x"
    copy.__setstate__(("r", "p"))
    assert copy.__reduce__()[2] == ("r", "p", {"label": "x"})


def test_setstate_merges_a_dictionary_only_where_there_is_one():
    plain = GitServiceCython.__new__(GitServiceCython)
    with pytest.raises(AttributeError):
        plain.__setstate__((1, 2, {"a": 1}))
    plain.__setstate__((1, 2, {}))
    assert plain.__reduce__()[2] == (1, 2)


def test_unpickling_checks_the_checksum():
    unpickle = gsc.__pyx_unpickle_GitServiceCython
    with pytest.raises(pickle.PickleError) as info:
        unpickle(GitServiceCython, 1, None)
    assert str(info.value) == "Incompatible checksums (0x1 vs (0x969dac, 0x8fbb51f, 0x1a9b238) = (repo, repo_path))"
    for checksum in (0x969DAC, 0x8FBB51F, 0x1A9B238, 9870764.5):
        assert type(unpickle(Sub, checksum, ("r", "p"))) is Sub
    with pytest.raises(TypeError, match="an integer is required"):
        unpickle(GitServiceCython, "0x969dac", None)
    with pytest.raises(TypeError, match=r"Argument '__pyx_state' has incorrect type \(expected tuple, got list\)"):
        unpickle(GitServiceCython, 0x969DAC, [None, None])
    with pytest.raises(TypeError):
        unpickle(int, 0x969DAC, None)


def test_reference_cycles_are_collected():
    sub = Sub.__new__(Sub)
    sub.__setstate__(([sub], None))
    alive = weakref.ref(sub)
    del sub
    gc.collect()
    assert alive() is None
    other = Sub.__new__(Sub)
    other.me = other
    alive = weakref.ref(other)
    del other
    gc.collect()
    assert alive() is None


def test_cwd_is_untouched_by_construction(repo):
    before = os.getcwd()
    GitServiceCython(str(repo.path / "."))
    assert os.getcwd() == before


# --- the git runner ---------------------------------------------------------------------------------


def test_runs_pass_the_keyword_arguments_in_order(repo, request):
    repo.commit("one")
    service = GitServiceCython(str(repo.path))
    root = str(repo.path.resolve())
    recorder = request.getfixturevalue("run_recorder")  # after the repository is built
    recorder.answer(("git", "for-each-ref", "refs/heads/"), stdout="main|abc|1\n")
    recorder.answer(("git", "for-each-ref", "refs/tags/"), stdout=b"")
    service.list_branches()
    service.list_tags()
    assert recorder.commands == [
        ["git", "for-each-ref", "refs/heads/", "--format=%(refname:short)|%(objectname)|%(committerdate:unix)"],
        ["git", "for-each-ref", "refs/tags/",
         "--format=%(refname:short)|%(objectname)|%(creatordate:unix)|%(contents:subject)|%(objecttype)"],
    ]
    branch_kwargs, tag_kwargs = (kwargs for _, kwargs in recorder.calls)
    assert list(branch_kwargs.items()) == [("capture_output", True), ("text", True), ("timeout", 5), ("cwd", root)]
    assert list(tag_kwargs.items()) == [("capture_output", True), ("text", False), ("timeout", 120), ("cwd", root)]


def test_merge_base_runs_from_the_root_without_cwd(repo, make_repo, monkeypatch):
    repo.commit("one")
    repo.git("branch", "feature")
    service = GitServiceCython(str(repo.path))
    seen = []

    def record(args, **kwargs):
        seen.append((args, kwargs, os.getcwd()))
        return subprocess.CompletedProcess(args, 0, "abc\n", "")

    monkeypatch.setattr(subprocess, "run", record)
    assert service.get_merge_base("feature") == "abc"
    [(args, kwargs, cwd)] = seen
    assert args == ["git", "merge-base", "main", "feature"]
    assert list(kwargs.items()) == [("capture_output", True), ("text", True), ("timeout", 5)]
    assert cwd == str(repo.path.resolve())


def test_values_beginning_with_a_dash_never_reach_git(repo, monkeypatch, tmp_path):
    repo.commit("one")
    repo.git("checkout", "-q", "-b", "side")
    repo.commit("two")
    repo.commit("three")
    repo.git("update-ref", "refs/heads/-x", "HEAD")
    repo.git("update-ref", "refs/heads/--output=leak.txt", "HEAD")
    service = GitServiceCython(str(repo.path))
    calls = []
    real_run = subprocess.run

    def record(args, **kwargs):
        calls.append(args)
        return real_run(args, **kwargs)

    monkeypatch.setattr(subprocess, "run", record)
    for branch in ("-x", "--output=leak.txt"):
        # Counting reads the walk as if git had failed; the merge base and
        # the decorations answer as for a failed run.
        assert service.count_commits(branch) == 2
        assert service.get_merge_base(branch) is None
        head = repo.head()
        refs = service.get_commit_refs_from_git_log(branch, [head])
        assert refs[head]["branches"] == [] and refs[head]["is_head"] is False
    assert all(not arg.startswith("-x") and not arg.startswith("--output") for args in calls for arg in args)
    assert not (repo.path / "leak.txt").exists() and not (tmp_path / "leak.txt").exists()
