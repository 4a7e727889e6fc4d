"""Shows what git_service_cython answers for a repository."""

import dataclasses
import sys

import git_service_cython as gsc


def main(start_dir: str) -> None:
    service = gsc.GitServiceCython(start_dir)
    root = service._find_repo_root(gsc.Path(start_dir))
    print(f"Repository root: {root}")
    print()
    print("Records:")
    for record in (gsc.BranchInfo, gsc.CommitInfo, gsc.FileStatus, gsc.StashInfo, gsc.TagInfo):
        fields = ", ".join(f"{field.name}: {field.type}" for field in dataclasses.fields(record))
        print(f"  {record.__name__}({fields})")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
