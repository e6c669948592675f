"""What a sweep shows of its points beyond the table: the heatmap of one statistic over
two swept parameters (``sweep.png``) and the printed summary of the best and the failed
points. A heatmap that fails leaves the table as it is.
"""

import contextlib
import math
import os

from korvane_bond_demo import interrupt
from korvane_bond_demo.parameters import PARAMETERS
from korvane_bond_demo.sweep import STATISTICS

LOWER_IS_BETTER = frozenset({"annual_volatility"})
PERCENT = frozenset({"total_return", "annual_return", "annual_volatility", "max_drawdown"})
# Beyond this many values along an axis the heatmap's cells carry no figures and its
# ticks are thinned; its size stays within MAX_FIGURE inches.
ANNOTATED_CELLS = 24
MAX_FIGURE = (16.0, 10.0)


def write_heatmap(out, points, results, heatmap):
    """Write sweep.png (under a temporary name, then renamed); its path."""
    path = out / "sweep.png"
    partial = out / ".sweep.png.partial"

    def remove():
        with contextlib.suppress(OSError):
            partial.unlink()

    with interrupt.cleaning(remove):
        try:
            plot_heatmap(partial, points, results, *heatmap)
            os.replace(partial, path)
        finally:
            remove()
    return path


def parse_heatmap(text, names):
    """``STAT:X[:Y]`` checked against the statistics and the grid's parameters."""
    parts = text.split(":")
    if len(parts) not in (2, 3) or not all(parts):
        raise ValueError(f"write --heatmap STAT:X[:Y], got {text!r}")
    stat, x, y = parts[0], parts[1], parts[2] if len(parts) == 3 else None
    if stat not in STATISTICS:
        raise ValueError(f"--heatmap: unknown statistic {stat!r}; choose one of {', '.join(STATISTICS)}")
    for name in (x, y):
        if name is not None and name not in names:
            raise ValueError(f"--heatmap: {name!r} is not a parameter of the grid ({', '.join(names)})")
    if x == y:
        raise ValueError("--heatmap: X and Y must be two different parameters")
    return stat, x, y


def default_heatmap(names):
    return ("annual_return", names[0], names[1] if len(names) > 1 else None)


def format_figure(stat, value):
    if value is None or not math.isfinite(value):
        return "n/a"
    if stat in PERCENT:
        return f"{value:.2%}"
    if stat == "pnl":
        return f"{value:,.0f}"
    return f"{value:.2f}"


def _cells(points, results, stat, x, y):
    """The heatmap's values: x values, y values, matrix[y][x] of the mean over the other
    parameters (None where no point of the cell gave a figure)."""
    xs, ys = [], []
    sums = {}
    for (swept, _), result in zip(points, results):
        cx, cy = swept[x], swept[y] if y is not None else None
        if cx not in xs:
            xs.append(cx)
        if cy not in ys:
            ys.append(cy)
        value = result.get(stat)
        cell = sums.setdefault((cx, cy), [])
        if value is not None and math.isfinite(value):
            cell.append(value)
    matrix = [
        [math.fsum(sums[(cx, cy)]) / len(sums[(cx, cy)]) if sums.get((cx, cy)) else None for cx in xs]
        for cy in ys
    ]
    return xs, ys, matrix


def plot_heatmap(path, points, results, stat, x, y):
    import matplotlib
    import numpy as np
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import PercentFormatter

    xs, ys, matrix = _cells(points, results, stat, x, y)
    data = np.array([[np.nan if v is None else v for v in row] for row in matrix], dtype=float)
    others = [name for name in points[0][0] if name not in (x, y)]
    width = min(MAX_FIGURE[0], max(6.0, 1.3 * len(xs) + 3.0))
    height = min(MAX_FIGURE[1], max(3.0, 0.8 * len(ys) + 2.2))
    annotate = len(xs) <= ANNOTATED_CELLS and len(ys) <= ANNOTATED_CELLS
    fig = Figure(figsize=(width, height), dpi=110)
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    cmap = matplotlib.colormaps["RdYlGn_r" if stat in LOWER_IS_BETTER else "RdYlGn"].with_extremes(
        bad="#d9d9d9"
    )
    finite = data[np.isfinite(data)]
    vmin, vmax = (finite.min(), finite.max()) if finite.size else (0.0, 1.0)
    if vmin == vmax:
        vmin, vmax = vmin - 1e-12, vmax + 1e-12
    image = ax.imshow(np.ma.masked_invalid(data), cmap=cmap, vmin=vmin, vmax=vmax, aspect="auto")
    bar = fig.colorbar(image, ax=ax)
    bar.set_label(stat.replace("_", " "))
    if stat in PERCENT:
        bar.ax.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=2))
    middle = (vmin + vmax) / 2
    for j, cells in enumerate(matrix if annotate else ()):
        for i, value in enumerate(cells):
            text = "failed" if value is None else format_figure(stat, value)
            dark = value is not None and abs(value - middle) > 0.35 * (vmax - vmin)
            ax.text(i, j, text, ha="center", va="center", fontsize=10, color="white" if dark else "black")
    xticks = _ticks(len(xs))
    ax.set_xticks(xticks)
    ax.set_xticklabels([_label(x, xs[i]) for i in xticks], rotation=0 if len(xticks) <= 12 else 45)
    ax.set_xlabel(x)
    if y is None:
        ax.set_yticks([0])
        ax.set_yticklabels([""])
    else:
        yticks = _ticks(len(ys))
        ax.set_yticks(yticks)
        ax.set_yticklabels([_label(y, ys[i]) for i in yticks])
        ax.set_ylabel(y)
    title = f"{stat.replace('_', ' ')} by {x}" + (f" and {y}" if y else "")
    if others:
        title += f"\n(mean over {', '.join(others)})"
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path, format="png")


def _ticks(count, most=ANNOTATED_CELLS):
    """The positions labelled along an axis of ``count`` cells: all, or every n-th."""
    step = max(1, math.ceil(count / most))
    return list(range(0, count, step))


def _label(name, value):
    return PARAMETERS[name].text(value).replace("+", "\n")


def best(points, results, stat, count=5):
    """The ``count`` best points that ran by ``stat``: (number, swept values, result)."""
    ran = [
        (n, swept, result)
        for n, ((swept, _), result) in enumerate(zip(points, results), 1)
        if result.get(stat) is not None and math.isfinite(result[stat])
    ]
    ran.sort(key=lambda item: item[2][stat], reverse=stat not in LOWER_IS_BETTER)
    return ran[:count]


def format_summary(points, results, stat, paths, count=5):
    failed = sum("error" in result for result in results)
    lines = [f"{len(points)} points, {len(points) - failed} ran, {failed} failed"]
    top = best(points, results, stat, count)
    if top:
        order = "lowest" if stat in LOWER_IS_BETTER else "highest"
        lines.append(f"\nbest points by {stat} ({order} first):")
        shown = ("pnl", "annual_return", "annual_volatility", "max_drawdown", "sharpe_ratio", "leverage_mean")
        for number, swept, result in top:
            where = ", ".join(f"{name}={PARAMETERS[name].text(v)}" for name, v in swept.items())
            figures = "  ".join(f"{name} {format_figure(name, result[name])}" for name in shown)
            lines.append(f"  #{number}: {where}\n      {figures}")
    errors = [(n, result["error"]) for n, result in enumerate(results, 1) if "error" in result]
    if errors:
        lines.append("\nfailed points:")
        lines.extend(f"  #{n}: {message}" for n, message in errors[:count])
        if len(errors) > count:
            lines.append(f"  ... and {len(errors) - count} more (the error column of sweep.csv)")
    lines.append("\nwritten:")
    lines.extend(f"  {path}" for path in paths)
    return "\n".join(lines)
