"""The --filter-time table: where the render's processing time went."""
from __future__ import annotations


def format_filter_times(times: list[tuple[str, int]]) -> str:
    """One line per filter node, slowest first, with its share of the total."""
    total = sum(ns for _, ns in times)
    lines = [f"{'filter':<24}{'time (ms)':>12}{'share':>8}"]
    for name, ns in sorted(times, key=lambda entry: entry[1], reverse=True):
        share = 100 * ns / total if total else 0.0
        lines.append(f"{name:<24}{ns / 1e6:>12.3f}{share:>7.1f}%")
    lines.append(f"{'total':<24}{total / 1e6:>12.3f}")
    return "\n".join(lines) + "\n"
