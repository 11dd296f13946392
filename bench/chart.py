"""The benchmark chart: throughput per document, our two functions against the peers."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STYLE = {
    "bytes": ("canonical_bytes_from_json", "#1f4e9c"),
    "digest": ('digest_from_json "run"', "#5b9bd5"),
    "orjson": ("orjson round trip", "#6e6e6e"),
    "json": ("json round trip", "#a9a9a9"),
    "rfc8785": ("rfc8785 round trip", "#c8a45a"),
    "canonicaljson": ("canonicaljson round trip", "#86b886"),
}


def _size(size: float) -> str:
    for unit, scale in (("MB", 1e6), ("KB", 1e3)):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size:.0f} B"


def draw(
    results: list[dict[str, Any]], keys: list[str], paths: list[Path], env: dict[str, Any]
) -> None:
    bar = 0.8 / len(keys)
    height = 2.1 + 0.9 * len(results)
    fig, ax = plt.subplots(figsize=(10, height))
    values = [e["mb_per_s"] for r in results for e in r["contenders"].values() if e.get("mb_per_s")]
    low = min(values) / 2 if values else 0.1
    high = max(values) * 2.5 if values else 1.0

    for row, result in enumerate(results):
        if row % 2:
            ax.axhspan(row - 0.5, row + 0.5, color="#f3f3f3", zorder=0)
        for i, key in enumerate(keys):
            y = row - 0.4 + bar * (i + 0.5)
            entry = result["contenders"].get(key, {})
            speed = entry.get("mb_per_s")
            label, colour = STYLE[key]
            if speed:
                ax.barh(
                    y,
                    speed,
                    height=bar * 0.9,
                    left=0,
                    color=colour,
                    zorder=2,
                    label=label if row == 0 else None,
                )
                ax.text(
                    speed * 1.08,
                    y,
                    f"{speed:,.0f}" if speed >= 10 else f"{speed:.2g}",
                    va="center",
                    fontsize=6.5,
                    color="#333333",
                    zorder=3,
                )
            else:
                ax.barh(y, 0, height=bar * 0.9, color=colour, label=label if row == 0 else None)
                ax.text(low * 1.1, y, "n/a", va="center", fontsize=6.5, color="#aa0000", zorder=3)

    groups = [r["group"] for r in results]
    for row in range(1, len(results)):
        if groups[row] != groups[row - 1]:
            ax.axhline(row - 0.5, color="#555555", linewidth=0.8, zorder=1)

    ax.set_yticks(range(len(results)))
    ax.set_yticklabels(
        [
            f"{r['name']}\n{_size(r['size_bytes'])}"
            + (f", {r['calls']:,} calls" if r["calls"] > 1 else "")
            for r in results
        ],
        fontsize=8,
    )
    ax.set_ylim(len(results) - 0.5, -0.5)
    ax.set_xscale("log")
    ax.set_xlim(low, high)
    ax.set_xlabel("MB/s of input (log scale; higher is better; median of interleaved rounds)")
    ax.grid(axis="x", which="major", color="#dddddd", zorder=1)
    versions = env.get("versions", {})
    fig.text(
        0.02,
        1 - 0.3 / height,
        "quorl_core against peers: throughput per document",
        fontsize=13,
        va="top",
    )
    fig.text(
        0.02,
        1 - 0.62 / height,
        f"{env.get('cpu', '')}; Python {env.get('python', '')}; "
        f"quorl_core {versions.get('quorl_core')}, orjson {versions.get('orjson')}, "
        f"rfc8785 {versions.get('rfc8785')}, canonicaljson {versions.get('canonicaljson')}; "
        f"{env.get('date', '')[:10]}",
        fontsize=7.5,
        color="#555555",
        va="top",
    )
    fig.legend(
        loc="upper left",
        bbox_to_anchor=(0.02, 1 - 0.82 / height),
        ncol=3,
        fontsize=8,
        frameon=False,
    )
    fig.subplots_adjust(top=1 - 1.45 / height, bottom=0.65 / height, left=0.19, right=0.97)
    for path in paths:
        path.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(path, dpi=100)
    plt.close(fig)
