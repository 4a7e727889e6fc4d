"""Repositories in the formats a newer git makes (SHA-256 object ids, refs in
reftables) as that git, the git on PATH and dulwich read them. What each of
them does is a fact of that program as observed here, not a choice of this
module: reftables hold version 1 tables with SHA-1 ids and version 2 tables
with SHA-256 ids; dulwich reads the first and raises on the second; a git
before 2.45 refuses a reftable repository."""

from __future__ import annotations

import pytest
from conftest import GitRepo, init_repo
from dulwich.repo import Repo
from newer_git import REFTABLE_SINCE, git_version

ID_LENGTH = {"sha1": 40, "sha256": 64}


def formatted_repo(path, program: str, object_format: str, ref_format: str) -> GitRepo:
    """A commit on main, a branch and an annotated tag on it, made by `program`."""
    repo = init_repo(path, program=program,
                     options=(f"--object-format={object_format}", f"--ref-format={ref_format}"))
    repo.commit("first", files={"a.txt": "a\n"})
    repo.git("branch", "side")
    repo.git("tag", "-a", "-m", "release", "v1")
    return repo


def listed_refs(repo: GitRepo, program: str = "git") -> dict[str, str]:
    listing = GitRepo(repo.path, program).git("for-each-ref", "--format=%(refname) %(objectname)")
    return dict(line.split(" ") for line in listing.splitlines())


def table_versions(repo: GitRepo) -> list[tuple[int, bytes]]:
    """Each reftable's version and, from version 2, its hash id."""
    folder = repo.path / ".git" / "reftable"
    versions = []
    for name in (folder / "tables.list").read_text().split():
        header = (folder / name).read_bytes()[:28]
        assert header[:4] == b"REFT"
        versions.append((header[4], header[24:28] if header[4] == 2 else b""))
    return versions


@pytest.mark.parametrize(("object_format", "version"), [("sha1", (1, b"")), ("sha256", (2, b"s256"))])
def test_newer_git_writes_the_table_version_of_its_object_format(tmp_path, newer_git, object_format, version):
    repo = formatted_repo(tmp_path / "repo", newer_git, object_format, "reftable")
    commit = repo.head()
    assert len(commit) == ID_LENGTH[object_format]
    refs = listed_refs(repo, newer_git)
    assert refs.keys() == {"refs/heads/main", "refs/heads/side", "refs/tags/v1"}
    assert refs["refs/heads/main"] == refs["refs/heads/side"] == commit
    assert refs["refs/tags/v1"] != commit and repo.git("rev-parse", "v1^{}") == commit
    assert not (repo.path / ".git" / "refs" / "heads" / "main").exists()
    assert set(table_versions(repo)) == {version}


def test_dulwich_reads_reftables_with_sha1_ids(tmp_path, newer_git):
    repo = formatted_repo(tmp_path / "repo", newer_git, "sha1", "reftable")
    refs = listed_refs(repo, newer_git)
    with Repo(str(repo.path)) as library:
        assert library.refs.as_dict() == {b"HEAD": repo.head().encode()} | {
            name.encode(): value.encode() for name, value in refs.items()}
        assert library.refs.get_symrefs() == {b"HEAD": b"refs/heads/main"}
        assert library.refs.get_peeled(b"refs/tags/v1") == repo.head().encode()
        assert library[library.head()].message == b"first\n"


def test_dulwich_raises_on_reftables_with_sha256_ids(tmp_path, newer_git):
    repo = formatted_repo(tmp_path / "repo", newer_git, "sha256", "reftable")
    with Repo(str(repo.path)) as library:
        with pytest.raises(ValueError, match="^Unsupported reftable version: 2$"):
            library.refs.as_dict()
        with pytest.raises(ValueError, match="^Unsupported reftable version: 2$"):
            library.head()


@pytest.mark.parametrize("ref_format", ["files", "reftable"])
@pytest.mark.parametrize("object_format", ["sha1", "sha256"])
def test_git_on_path_reads_what_its_version_knows(tmp_path, newer_git, object_format, ref_format):
    """SHA-256 ids since git 2.29, which every git here has; reftables since 2.45."""
    version = git_version("git")
    assert version is not None and version >= (2, 29)
    repo = formatted_repo(tmp_path / "repo", newer_git, object_format, ref_format)
    on_path = GitRepo(repo.path)
    if ref_format == "files" or version >= REFTABLE_SINCE:
        assert listed_refs(repo) == listed_refs(repo, newer_git)
        assert on_path.head() == repo.head()
    else:
        with pytest.raises(AssertionError, match="unknown repository extension found:.*refstorage"):
            on_path.head()
