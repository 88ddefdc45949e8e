"""check_sdist.py SDIST: fails unless the source distribution holds every file
the build reads: the tracked files under src/, quorvel-stubs/ and python/, and
CMakeLists.txt, pyproject.toml, README.md and LICENSE.  The tracked files come
from git when the checkout is a repository, from the tree otherwise."""
import pathlib
import subprocess
import sys
import tarfile

ROOTS = ["src", "quorvel-stubs", "python", "CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE"]


def needed():
    try:
        out = subprocess.run(["git", "ls-files", "--", *ROOTS], capture_output=True,
                             text=True, check=True).stdout
        return set(out.split())
    except (OSError, subprocess.CalledProcessError):
        return {str(p) for r in ROOTS for p in [pathlib.Path(r), *pathlib.Path(r).rglob("*")]
                if p.is_file() and "__pycache__" not in p.parts}


def main(sdist):
    with tarfile.open(sdist) as tar:
        have = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    missing = sorted(needed() - have)
    if missing:
        sys.exit(f"{sdist} lacks: {', '.join(missing)}")
    print(f"{pathlib.Path(sdist).name}: all {len(needed())} files the build needs are in it")


if __name__ == "__main__":
    main(sys.argv[1])
