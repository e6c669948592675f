"""A sweep's table on disk: ``sweep.csv``, written as the points finish, and
``sweep-grid.json``, the grid it belongs to; ``--resume`` reads back only a table it can
trust. :func:`lock_folder` keeps a second sweep out of the folder.
"""

import contextlib
import csv
import io
import json
import math
import os
import re

from korvane_bond_demo import interrupt
from korvane_bond_demo.parameters import PARAMETERS, settings_text
from korvane_bond_demo.sweep import GRID_FILE, MAX_ERROR_CHARS, STATISTICS


def lock_folder(out):
    """Take the output folder ``out`` for this sweep: an exclusive lock, held until the
    descriptor returned is closed (or the process ends); None where the system has no
    such locks. ValueError, one line, when another sweep holds it."""
    try:
        import fcntl
    except ImportError:  # not on a POSIX system
        return None
    handle = os.open(out, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(handle)
        raise ValueError(
            f"the output folder {out} is in use by another sweep; let it finish, or give another --out"
        ) from None
    except OSError as error:
        os.close(handle)
        raise ValueError(f"cannot lock the output folder {out}: {error.strerror or error}") from None
    return handle


def header(names):
    return ["point", *names, *STATISTICS, "error"]


def row(number, swept, result):
    """One row of sweep.csv: the point's number, its swept values, its statistics (full
    precision, empty where undefined or failed) and its error (empty when it ran)."""
    values = [PARAMETERS[name].text(value) for name, value in swept.items()]
    figures = ["" if result.get(name) is None else repr(float(result[name])) for name in STATISTICS]
    return [str(number), *values, *figures, result.get("error", "")]


def _grid_record(names, points, found):
    """What identifies a grid: its parameters, every point's settings as text, and the
    content fingerprint of each data folder (``found``: folder -> fingerprint), by the
    folder as the data setting writes it."""
    return {
        "parameters": names,
        "points": [settings_text(settings) for _, settings in points],
        "data": {PARAMETERS["data"].text(folder): digest for folder, digest in found.items()},
    }


def _csv_text(cells_list):
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerows(cells_list)
    return buffer.getvalue()


_POINT_NUMBER = re.compile(r"[1-9][0-9]{0,8}")


class ResultsFile:
    """``sweep.csv`` written as the points finish: the header first, then one row per
    finished point, appended, flushed and synced to disk as it completes, so a crash or
    an interrupt loses no finished point. :meth:`close` rewrites it in point order
    (atomically). ``sweep-grid.json`` beside it records the grid and the data's content
    (``found``: data folder -> its fingerprint), for ``--resume``, which takes an earlier
    table only when it was begun on the same grid and data and every row is one this grid
    could have written (:meth:`_read_back`)."""

    def __init__(self, out, names, points, found, resume=False):
        self.path = out / "sweep.csv"
        self.grid_path = out / GRID_FILE
        self.names = names
        self.points = points
        self.found = found
        self.results = {}  # point number -> result
        if resume:
            self.results, kept = self._read_back()
            _write_atomically(self.path, kept)  # the trusted rows; a row a crash cut short goes
            self._file = open(self.path, "a", newline="", encoding="utf-8")
        else:
            _write_atomically(self.grid_path, json.dumps(_grid_record(names, points, found), indent=1) + "\n")
            _write_atomically(self.path, _csv_text([header(names)]))
            self._file = open(self.path, "a", newline="", encoding="utf-8")

    def _write(self, cells):
        self._file.write(_csv_text([cells]))
        self._file.flush()
        os.fsync(self._file.fileno())

    def add(self, number, result):
        """Write the row of a finished point; OSError when it cannot be (a full disk): the
        point then counts as not run."""
        self._write(row(number, self.points[number - 1][0], result))
        self.results[number] = result

    @property
    def remaining(self):
        """(number, Settings) of the points with no row yet."""
        return [(n, settings) for n, (_, settings) in enumerate(self.points, 1) if n not in self.results]

    def close(self, final=True):
        """Close the file; when ``final``, rewrite it with every row in point order.
        OSError when the file cannot be closed or rewritten (the rows written stay)."""
        try:
            self._file.close()
        except OSError:
            if final:
                raise
        if final:
            ordered = [header(self.names)] + [
                row(n, self.points[n - 1][0], self.results[n]) for n in sorted(self.results)
            ]
            _write_atomically(self.path, _csv_text(ordered))

    def ordered_results(self):
        return [self.results.get(n, {"error": "not run"}) for n in range(1, len(self.points) + 1)]

    def _refuse(self, line, why):
        raise ValueError(
            f"--resume: {self.path}, line {line}: {why}; it is not this sweep's table: "
            "run it without --resume to start again"
        )

    def _read_back(self):
        """The finished points of an earlier run of the same grid and the text of their
        rows: ({number: result}, text). ValueError, one line naming the row, for a table
        this grid could not have written."""
        if not self.path.is_file() or not self.grid_path.is_file():
            raise ValueError(f"--resume: no earlier sweep in {self.path.parent} (sweep.csv and {GRID_FILE})")
        expected = _grid_record(self.names, self.points, self.found)
        expected_text = json.dumps(expected, indent=1) + "\n"
        recorded = _read_bounded(self.grid_path, 2 * len(expected_text) + 4096)
        try:
            recorded = None if recorded is None else json.loads(recorded.decode("utf-8"))
        except (ValueError, RecursionError):  # not JSON, not UTF-8, nested beyond reason
            raise ValueError(f"--resume: {self.grid_path} cannot be read") from None
        if recorded != expected:
            grid = {key: value for key, value in expected.items() if key != "data"}
            if isinstance(recorded, dict) and {k: v for k, v in recorded.items() if k != "data"} == grid:
                raise ValueError(
                    f"--resume: the market data are not those {self.path} was begun on (their content "
                    "changed, or the record of it is missing); run it without --resume to start again"
                )
            raise ValueError(
                f"--resume: {self.path} holds another grid or other settings; run it without --resume "
                "to start again"
            )
        width = len(header(self.names))
        limit = (len(self.points) + 1) * (width * 64 + MAX_ERROR_CHARS + 256) + sum(
            len(json.dumps(point)) for point in expected["points"]
        )
        data = _read_bounded(self.path, limit)
        if data is None:
            raise ValueError(
                f"--resume: {self.path} is larger than a table of this grid can be; "
                "run it without --resume to start again"
            )
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            self._refuse(data[: error.start].count(b"\n") + 1, "not UTF-8 text")
        if "\0" in text:
            self._refuse(text[: text.index("\0")].count("\n") + 1, "a NUL character")
        torn = text != "" and not text.endswith("\n")  # the last row, cut short by a crash
        reader = csv.reader(io.StringIO(text, newline=""))
        records = []
        try:
            for cells in reader:
                records.append((reader.line_num, cells))
        except csv.Error as error:  # a field over the csv module's limit, a stray quote
            self._refuse(reader.line_num, " ".join(str(error).split()))
        if torn and records:
            records.pop()
        if not records or records[0][1] != header(self.names):
            raise ValueError(f"--resume: {self.path} does not start with the header of this grid")
        results, kept = {}, [records[0][1]]
        for line, cells in records[1:]:
            results_of = self._check_row(line, cells, width, results)
            results[int(cells[0])] = results_of
            kept.append(cells)
        return results, _csv_text(kept)

    def _check_row(self, line, cells, width, seen):
        """The result a row records, once it is checked against its point and the grid."""
        if len(cells) != width:
            self._refuse(line, f"{len(cells)} cells where this grid's rows have {width}")
        if not _POINT_NUMBER.fullmatch(cells[0]) or not 1 <= int(cells[0]) <= len(self.points):
            self._refuse(line, f"no point {cells[0][:40]!r} in this grid of {len(self.points):,}")
        number = int(cells[0])
        if number in seen:
            self._refuse(line, f"point {number} is given twice")
        swept = self.points[number - 1][0]
        for name, cell in zip(self.names, cells[1:]):
            value = PARAMETERS[name].text(swept[name])
            if cell != value:
                self._refuse(line, f"point {number} has {name} {cell[:80]!r} where the grid has {value!r}")
        count = len(self.names)
        figures = cells[1 + count : 1 + count + len(STATISTICS)]
        error = cells[-1]
        if error:
            if any(figures):
                self._refuse(line, f"point {number} has both figures and an error")
            if len(error) > MAX_ERROR_CHARS:
                self._refuse(line, f"point {number}'s error is over {MAX_ERROR_CHARS:,} characters")
            return {"error": error}
        result = {}
        for name, cell in zip(STATISTICS, figures):
            try:
                value = float(cell) if cell else None
            except ValueError:
                value = math.nan
            if value is not None and not math.isfinite(value):
                self._refuse(line, f"point {number}'s {name} is no finite number: {cell[:40]!r}")
            result[name] = value
        return result


def _read_bounded(path, limit):
    """The bytes of the file ``path``, or None when it holds more than ``limit``."""
    with open(path, "rb") as f:
        data = f.read(limit + 1)
    return None if len(data) > limit else data


def _write_atomically(path, text):
    """``text`` into ``path``: written beside it under a temporary name, synced, renamed
    over it; nothing is left of the temporary file when that fails."""
    partial = path.with_name(f".{path.name}.partial")

    def remove():
        with contextlib.suppress(OSError):
            partial.unlink()

    with interrupt.cleaning(remove):
        try:
            with open(partial, "w", newline="", encoding="utf-8") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.replace(partial, path)
        finally:
            remove()
