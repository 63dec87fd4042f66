"""Clean builds of the module at several revisions, side by side: each
revision is exported once and configured as the wheel build configures it
(CMake, Ninja, Release), then rebuilt from clean in turn, the revisions
alternating (which goes first rotates), after one warm-up build of each.
Prints wall and CPU seconds (compiler and linker processes, user + system)
per revision, median [min..max].

    python bench/build_times.py REV [REV ...] [--rounds N] [--jobs N] [--work DIR]

REV is any git revision; WORKTREE names the working tree as it is now.
"""
import argparse
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def export(revision: str, into: pathlib.Path) -> None:
    into.mkdir(parents=True)
    if revision == "WORKTREE":
        for name in ("CMakeLists.txt", "pyproject.toml", "src", "tools", "stubs", "tests", "bench"):
            source = ROOT / name
            (shutil.copytree if source.is_dir() else shutil.copy2)(source, into / name)
        return
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision], capture_output=True, check=True)
    subprocess.run(["tar", "-x", "-C", str(into)], input=archive.stdout, check=True)


def configure(tree: pathlib.Path) -> pathlib.Path:
    build = tree / "build"
    subprocess.run(["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, capture_output=True)
    return build


def clean_build(build: pathlib.Path, jobs: int) -> tuple[float, float]:
    """(wall, CPU) seconds of one build of the module from clean."""
    subprocess.run(["ninja", "-C", str(build), "-t", "clean"], check=True, capture_output=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(["ninja", "-C", str(build), f"-j{jobs}", "lumeq"], check=True, capture_output=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def summary(values: list[float]) -> str:
    return f"{statistics.median(values):.1f} [{min(values):.1f}..{max(values):.1f}]"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("revisions", nargs="+")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--work", type=pathlib.Path, help="where the exported trees go (default: a temporary folder)")
    options = parser.parse_args()
    work = options.work or pathlib.Path(tempfile.mkdtemp(prefix="lumeq-build-times-"))
    builds = []
    for index, revision in enumerate(options.revisions):
        tree = work / f"{index}"
        export(revision, tree)
        builds.append(configure(tree))
    for build in builds:
        clean_build(build, options.jobs)  # warm-up: file cache, compiler binaries
    times: dict[int, list[tuple[float, float]]] = {i: [] for i in range(len(builds))}
    for round_number in range(options.rounds):
        order = list(range(len(builds)))
        order = order[round_number % len(order):] + order[:round_number % len(order)]
        for i in order:
            times[i].append(clean_build(builds[i], options.jobs))
            wall, cpu = times[i][-1]
            print(f"round {round_number + 1}: {options.revisions[i]}: wall {wall:.1f} s, CPU {cpu:.1f} s",
                  file=sys.stderr, flush=True)
    for i, revision in enumerate(options.revisions):
        walls = [wall for wall, _ in times[i]]
        cpus = [cpu for _, cpu in times[i]]
        print(f"{revision}: wall {summary(walls)} s, CPU {summary(cpus)} s ({len(walls)} builds, -j{options.jobs})")
    if options.work is None:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
