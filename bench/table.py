"""The benchmark table, from bench/results.json.

    python bench/table.py            prints the table
    python bench/table.py --readme   writes the whole table into docs/performance.md
                                     and its headline rows into README.md
"""
import argparse
import json
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
BEGIN, END = "<!-- bench table -->", "<!-- /bench table -->"
BASELINES = {"native": "native C API", "floor": "Python-thread floor", "single": "one pipeline",
             "keywords": "the same call with keywords", "plain": "the same clip without the callback",
             "chunk_sum": "the sum of its chunk times", "scdet": "ffmpeg's scdet", "fixed": "fixed-split chunks",
             "transfer": "the same bytes ready, moved and painted alike", "nominal": "the clip's rate",
             "fixed_crf": "fixed CRF, same worst chunk"}


def number(kind, value):
    if kind == "added_us":
        return f"{value:+.2f} µs"
    if kind == "time":
        return f"{value:.2f}×"
    if kind == "ms":
        return f"{value:.1f} ms"
    if kind == "percent":
        return f"{value * 100:.2f} %"
    if kind == "mib":
        return f"{value:+.1f} MiB"
    if kind == "fps":
        return f"{value:.1f} fps"
    return f"{value:.3f}"


def target(kind, value):
    if value is None:
        return ""
    if kind == "throughput":
        return f"≥ {value:g}"
    if kind == "fps":
        return f"≥ {number(kind, value)}"
    return f"≤ {number(kind, value).lstrip('+')}"


def cell(text):
    return str(text).replace("|", "\\|")


# The README's rows: one figure for each kind of work a user meets first.
HEADLINE = ["frames_1080p", "asyncio_1080p_w32", "async_frames_1080p", "async_frames_16x16", "async_audio_frames",
            "get_frame", "invoke_held", "pipe_805830913_devnull", "pipe_805830913_pipe", "pipe_805961984_devnull",
            "pipe_805961984_pipe", "pipe_805830913_devnull_loop", "pipe_805830913_pipe_loop",
            "pipe_805961984_devnull_loop", "pipe_805961984_pipe_loop", "plane_copy", "first_core",
            "preview_request_rgba", "preview_step", "preview_step_back_to_back", "preview_drag", "preview_play",
            "preview_play_floor",
            "farm_x264", "farm_scale", "farm_scenes_bytes", "farm_scdet", "farm_target_quality"]


def markdown(results, keys=None):
    figures = {key: fig for key, fig in results["figures"].items() if keys is None or key in keys}
    lines = [f"{results['pairs_per_figure']} pairs per figure: median [min..max] of the pairwise values. "
             "Throughput figures are lumeq / baseline; time figures lumeq's time over the baseline's.", "",
             "| figure | baseline | median [min..max] | target | pinned | |", "|---|---|---|---|---|---|"]
    for key, fig in figures.items():
        if "error" in fig:
            lines.append(f"| {cell(fig['label'])} | | not measured: {cell(fig['error'])} | | | |")
            continue
        kind = fig["kind"]
        spread = f"{number(kind, fig['median'])} [{number(kind, fig['min'])}..{number(kind, fig['max'])}]"
        lines.append(f"| {cell(fig['label'])} | {BASELINES.get(fig.get('baseline'), '')} | {spread} | "
                     f"{target(kind, fig.get('target'))} | {'yes' if fig.get('pinned') else 'no'} | "
                     f"{fig.get('verdict', '')} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--readme", action="store_true",
                        help="write the table into docs/performance.md, its headline rows into README.md")
    parser.add_argument("--results", default=str(ROOT / "bench" / "results.json"))
    opts = parser.parse_args()
    results = json.loads(pathlib.Path(opts.results).read_text())
    if not opts.readme:
        print(markdown(results))
        return
    write_table(ROOT / "docs" / "performance.md", markdown(results))
    write_table(ROOT / "README.md", markdown(results, HEADLINE))


def write_table(path, table):
    text = path.read_text()
    if BEGIN not in text or END not in text:
        raise SystemExit(f"{path.name} has no {BEGIN} ... {END} section")
    path.write_text(re.sub(re.escape(BEGIN) + ".*?" + re.escape(END), lambda m: f"{BEGIN}\n{table}\n{END}", text,
                           flags=re.S))
    print(f"{path.relative_to(ROOT)} updated")


if __name__ == "__main__":
    main()
