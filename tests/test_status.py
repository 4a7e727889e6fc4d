"""Working-tree status: ignore rules, the HEAD file map, the porcelain road and the fallback scan."""

import fnmatch
import os
import random
import subprocess
import types

import pytest

import git_service_cython as gsc
from git_service_cython import GitServiceCython


@pytest.fixture
def hide_git(monkeypatch, tmp_path):
    """Hides the git program from the point of the call on (as the no_git fixture does from the start)."""
    def hide():
        empty = tmp_path / "hidden-git-bin"
        empty.mkdir(exist_ok=True)
        monkeypatch.setenv("PATH", str(empty))
    return hide


def rows(records):
    return [(r.path, r.status, r.staged, r.unstaged) for r in records]


def with_ignore_file(repo, service_for, text: str | bytes):
    repo.write(".gitignore", text)
    return service_for(repo)


def record(pattern, fnmatch_pattern=None, negation=False, root=False):
    return {"pattern": pattern, "fnmatch_pattern": fnmatch_pattern if fnmatch_pattern is not None else pattern,
            "is_negation": negation, "is_root": root}


# --- compiling the ignore file ------------------------------------------------------------------------


def test_compiled_records_keep_their_keys_in_order_and_trim_each_line(repo, service_for):
    service = with_ignore_file(repo, service_for, (
        "  *.log  \n# comment\n\n!  keep.log\n/build/\nbuild//\na/**/b\n***\n\\#notes\n/\n!/\n!\n   \n"
    ))
    compiled = service._compile_gitignore_patterns()
    assert all(list(r) == ["pattern", "fnmatch_pattern", "is_negation", "is_root"] for r in compiled)
    assert compiled == [
        record("*.log"),
        record("keep.log", negation=True),
        record("/build", root=True),
        record("build"),
        record("a/**/b", "a/*/b"),
        record("***", "**"),
        record("\\#notes"),
        record(""),
        record("", negation=True),
    ]


def test_missing_or_unreadable_ignore_file_compiles_to_nothing(repo, service_for):
    service = service_for(repo)
    assert service._compile_gitignore_patterns() == []
    (repo.path / ".gitignore").mkdir()
    assert service._compile_gitignore_patterns() == []
    assert service._is_ignored("a.log") is False


def test_undecodable_bytes_in_the_ignore_file_are_dropped(repo, service_for):
    service = with_ignore_file(repo, service_for, b"*.l\xffog\n")
    assert service._compile_gitignore_patterns() == [record("*.log")]


# --- matching files and directories --------------------------------------------------------------------


@pytest.mark.parametrize("lines, path, ignored", [
    ("*.log\n!keep.log\n", "a/b/keep.log", False),
    ("*.log\n!keep.log\n", "a/b/x.log", True),
    ("!keep.log\n*.log\n", "a/b/keep.log", True),
    ("/build/\n", "build/x.txt", True),
    ("/build/\n", "src/build/x.txt", False),
    ("/build/\n", "build", True),
    ("build/\n", "src/build/x.txt", True),
    ("build/\n", "deep/dir/build", True),
    ("docs/*.md\n", "docs/a.md", True),
    ("docs/*.md\n", "x/docs/a.md", True),
    ("docs/*.md\n", "docs/sub/a.md", True),
    ("docs/*.md\n", "docs/a.txt", False),
    ("**/tmp\n", "a/tmp", True),
    ("**/tmp\n", "a/b/tmp", True),
    ("**/tmp\n", "tmp", False),
    ("\\#notes\n", "#notes", False),
    ("\\#notes\n", "\\#notes", False),
    ("*.txt   \n", "a.txt", True),
    ("/a/*.c\n", "a/x.c", True),
    ("/a/*.c\n", "b/a/x.c", False),
    ("[!a]bc\n", "xbc", True),
    ("[!a]bc\n", "abc", False),
    ("*.log\n", "a\\b\\c.log", True),
    ("a/b\n", "a\\b", True),
])
def test_path_matching(repo, service_for, lines, path, ignored):
    service = with_ignore_file(repo, service_for, lines)
    assert service._is_path_ignored(path, service._compile_gitignore_patterns()) is ignored
    assert service._is_ignored(path) is ignored


def test_no_patterns_ignore_nothing_but_the_fixed_directories_are_always_skipped(repo, service_for):
    service = service_for(repo)
    assert service._is_path_ignored("node_modules", []) is False
    for name in [".git", "node_modules", "__pycache__", ".pytest_cache", ".mypy_cache", ".venv", "venv", "env",
                 ".env", "dist", "build", ".tox", ".eggs"]:
        assert service._is_directory_ignored(f"a/{name}", []) is True
    assert service._is_directory_ignored("pkg.egg-info", []) is True
    assert service._is_directory_ignored("a/node_modules/", []) is True
    assert service._is_directory_ignored("node_modules_x", []) is False
    assert service._is_directory_ignored("src", []) is False


def test_directory_tests_see_the_appended_slash(repo, service_for):
    service = with_ignore_file(repo, service_for, "out/\n/gen/\n")
    compiled = service._compile_gitignore_patterns()
    assert service._is_directory_ignored("src/out", compiled) is True
    assert service._is_directory_ignored("gen", compiled) is True
    assert service._is_directory_ignored("src/gen", compiled) is False
    service = with_ignore_file(repo, service_for, "/\n")
    assert service._is_directory_ignored("anything", service._compile_gitignore_patterns()) is True
    assert service._is_path_ignored("a.txt", service._compile_gitignore_patterns()) is False


def test_is_ignored_without_a_path(repo, service_for):
    service = service_for(repo)
    assert service._is_ignored(None) is False
    service = with_ignore_file(repo, service_for, "*.log\n")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'replace'"):
        service._is_ignored(None)


def test_records_from_a_caller_are_read_as_given(repo, service_for):
    service = service_for(repo)
    assert service._is_path_ignored("a/b", [{"pattern": "x", "fnmatch_pattern": "b", "is_negation": 0,
                                             "is_root": ""}]) is True
    with pytest.raises(KeyError):
        service._is_path_ignored("a", [{"pattern": "a"}])
    with pytest.raises(TypeError):
        service._is_path_ignored("a", [record(None)])


def test_directory_test_calls_the_file_test_through_the_object(repo):
    class Recording(GitServiceCython):
        def _is_path_ignored(self, file_path, compiled_patterns):
            seen.append(file_path)
            return "yes"

    seen = []
    assert Recording(str(repo.path))._is_directory_ignored("src", []) == "yes"
    assert seen == ["src/"]


# --- the native matcher agrees with the host's fnmatch ---------------------------------------------------


def matches(service, name, pattern):
    # A root record whose prefix never applies matches exactly when fnmatch(name, pattern) does.
    return service._is_path_ignored(name, [record("\0", "/" + pattern, root=True)])


def test_matcher_agrees_with_fnmatch_on_generated_cases(monkeypatch):
    service = GitServiceCython.__new__(GitServiceCython)
    generator = random.Random(20240607)
    pattern_chars = list("ab-!]^[\\*?&~|/.z0") + ["é", "\u2603", "\U0001f600"]
    name_chars = list("ab-!]^[&~|/.z0\n") + ["é", "\u2603", "\U0001f600"]
    cases = []
    for _ in range(6000):
        pattern = "".join(generator.choice(pattern_chars) for _ in range(generator.randint(0, 9)))
        for _ in range(4):
            name = "".join(generator.choice(name_chars) for _ in range(generator.randint(0, 8)))
            cases.append((name, pattern))
    cases += [("]", "[]]"), ("a", "[!]]"), ("-", "[a-]"), ("b", "[z-a]"), ("q", "[!z-a]"), ("[", "[a"),
              ("/", "[\\/]"), ("a", "[a--]"), ("^", "[^]"), ("x/y", "*"), ("", ""), ("", "*"), ("ab", "*b*b")]
    expected = [fnmatch.fnmatch(name, pattern) for name, pattern in cases]

    # Every answer comes from the native matcher: the host's compiler is never asked.
    asked = []
    compile_pattern = fnmatch._compile_pattern
    monkeypatch.setattr(fnmatch, "_compile_pattern", lambda pat: asked.append(pat) or compile_pattern(pat))
    assert [matches(service, name, pattern) for name, pattern in cases] == expected
    assert asked == []


def test_a_replaced_fnmatch_is_followed(repo, service_for, monkeypatch):
    service = with_ignore_file(repo, service_for, "*.log\n")
    calls = []
    monkeypatch.setattr(fnmatch, "fnmatch", lambda name, pattern: calls.append((name, pattern)) or True)
    assert service._is_path_ignored("a/b.txt", service._compile_gitignore_patterns()) is True
    assert calls == [("a/b.txt", "*.log")]


# --- the HEAD file map ---------------------------------------------------------------------------------


def head_tree(service_repo):
    return service_repo[service_repo[service_repo.refs[b"HEAD"]].tree]


def ls_tree(repo):
    lines = repo.git("ls-tree", "-r", "HEAD").splitlines()
    return [(line.split("\t", 1)[1], line.split()[2].encode()) for line in lines]


def test_head_map_flattens_nested_trees_with_links_and_submodules(repo, service_for):
    from dulwich.repo import Repo
    repo.write("a.txt", "a")
    repo.write("src/main.c", "int main;")
    repo.write("src/lib/deep/x.h", "x")
    repo.write("z.txt", "z")
    os.symlink("a.txt", repo.path / "link")
    repo.git("add", "-A")
    sub = "1" * 40
    repo.git("update-index", "--add", "--cacheinfo", f"160000,{sub},src/sub")
    repo.git("commit", "-q", "-m", "tree")
    service = service_for(repo)
    with Repo(str(repo.path)) as dulwich_repo:
        tree = head_tree(dulwich_repo)
        file_map = service._build_head_file_map(tree)
        assert list(file_map.items()) == ls_tree(repo)
        assert file_map["src/sub"] == sub.encode()
        assert list(service._build_head_file_map(tree, "root")) == ["root/" + path for path, _ in ls_tree(repo)]
        empty = dulwich_repo[repo.git("mktree", input="").encode()]
        assert service._build_head_file_map(empty) == {}


def test_head_map_of_a_non_utf8_name_raises(repo, service_for):
    from dulwich.repo import Repo
    blob = repo.git("hash-object", "-w", "--stdin", input="x")
    listing = f"100644 blob {blob}\tok\n100644 blob {blob}\t".encode() + b"bad\xff\n"
    tree = repo.git("mktree", input=listing).strip()
    service = service_for(repo)
    with Repo(str(repo.path)) as dulwich_repo:
        with pytest.raises(UnicodeDecodeError):
            service._build_head_file_map(dulwich_repo[tree])


def test_head_map_walks_trees_deeper_than_the_recursion_limit():
    # Trees stand in as dicts: iteration gives names, indexing gives (mode, id).
    depth = 5000
    objects = {b"leaf": {b"f": (0o100644, b"blob-id")}}
    for level in range(depth):
        objects[b"t%d" % level] = {b"d": (0o40000, b"t%d" % (level + 1) if level + 1 < depth else b"leaf")}
    service = GitServiceCython.__new__(GitServiceCython)
    service.__setstate__((objects, None))
    assert service._build_head_file_map(objects[b"t0"]) == {"d/" * depth + "f": b"blob-id"}


def test_head_map_entries_must_be_pairs():
    service = GitServiceCython.__new__(GitServiceCython)
    with pytest.raises(ValueError, match="too many values to unpack"):
        service._build_head_file_map({b"a": (1, 2, 3)})
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        service._build_head_file_map({"a": [1]})
