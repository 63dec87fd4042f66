"""Two builds of lumeq side by side: the same workloads from
bench/lumeq_workloads.py, each run in a fresh process under each build's
Python, alternating (which build goes first alternates too), after one
warm-up run of each. Prints, per workload, the median of the pairs'
new/old time-per-item ratios with their minimum and maximum: below 1 the
new build is faster.

    python bench/compare_builds.py OLD_PYTHON NEW_PYTHON [--pairs N] [--only NAME,...]

Each Python must have its own lumeq and the same vapoursynth installed.
"""
import argparse
import json
import pathlib
import statistics
import subprocess
import sys

WORKLOADS = pathlib.Path(__file__).resolve().parent / "lumeq_workloads.py"
GRAY8 = (1 << 28) | (8 << 16)
YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1

# What a change to the module's own code can slow: per-call and per-frame
# costs on small frames (where lumeq's share is largest), callbacks, plugin
# calls, the asyncio path, and start-up.
CASES = {
    "get_frame": ("getframe", 16, 16, GRAY8, 1, 20000),
    "invoke_held": ("invoke", 20000),
    "invoke_lookup": ("invokelookup", 20000),
    "frames_16x16": ("frames", 16, 16, GRAY8, 1, 50000, 0, 0),
    "frames_1080p": ("frames", 1920, 1080, YUV420P8, 0, 300, 0, 0),
    "asyncio_16x16_w32": ("window", 16, 16, GRAY8, 1, 20000, 32),
    "modify_frame_16x16": ("modifyframe", 16, 16, GRAY8, 1, 20000),
    "first_core": ("firstcore",),
}


def seconds_per_item(python, args):
    done = subprocess.run([python, str(WORKLOADS), *map(str, args)], capture_output=True, text=True, check=True)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    return result["seconds"] / max(1, result["items"])


def compare(old, new, args, pairs):
    seconds_per_item(old, args), seconds_per_item(new, args)  # warm-up: page cache, plugin scan
    ratios = []
    for i in range(pairs):
        if i % 2 == 0:
            before, after = seconds_per_item(old, args), seconds_per_item(new, args)
        else:
            after, before = seconds_per_item(new, args), seconds_per_item(old, args)
        ratios.append(after / before)
    return ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", help="the Python of the build compared against")
    parser.add_argument("new", help="the Python of the build being checked")
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--only", help="comma-separated case names: " + ", ".join(CASES))
    opts = parser.parse_args()
    names = opts.only.split(",") if opts.only else list(CASES)
    unknown = [name for name in names if name not in CASES]
    if unknown:
        parser.error(f"unknown case {unknown[0]!r}")
    results = {}
    for name in names:
        ratios = compare(opts.old, opts.new, CASES[name], opts.pairs)
        results[name] = ratios
        print(f"{name:<20} new/old {statistics.median(ratios):.3f} [{min(ratios):.3f}..{max(ratios):.3f}]"
              f" over {len(ratios)} pairs", file=sys.stderr, flush=True)
    print(json.dumps(results))


if __name__ == "__main__":
    main()
