"""Finding a table's file in a folder and reading it, bounded.

A table is refused before it is read when its file is above the size limit (a Parquet
file's uncompressed size counts); a CSV file is checked for NUL bytes and UTF-8 line by
line before the line is parsed; a Parquet file is read :data:`PARQUET_BATCH` rows at a
time. Each row is handed to a check as soon as it is kept, so the first fault is the
first one read.
"""

import codecs
import csv
import os
import stat

from korvane_bond_demo.reader.layout import OPTIONAL_TABLES, DataError
from korvane_bond_demo.reader.table import Plan, Table

PARQUET_BATCH = 65_536  # rows of a Parquet file read at a time
TABLE_LIMIT = "a table (max_table_mb, --max-table-mb, raises it)"


def size_limit(path, size, limit, what=TABLE_LIMIT):
    """DataError when ``size`` bytes are above ``limit`` for ``what``."""
    if size > limit:
        raise DataError(f"{path}: {size:,} bytes, above the limit of {limit:,} for {what}")


class _BadLine(Exception):
    """A line that is no text: its number, its bytes and what is wrong with it."""

    def __init__(self, number, raw, what):
        super().__init__(what)
        self.number, self.raw, self.what = number, raw, what


_NUL_MARK = "\uffff"  # stands for a NUL byte while the line is split into cells


def _bad_cell(text):
    return any(ch == _NUL_MARK or "\udc80" <= ch <= "\udcff" for ch in text)


def _lines(handle, path, limit):
    """The file's lines as text, each checked for a NUL byte and for UTF-8 before it is
    parsed (:class:`_BadLine` otherwise)."""
    read = 0
    decode = codecs.getdecoder("utf-8")
    for number, raw in enumerate(handle, 1):
        read += len(raw)
        if read > limit:
            size_limit(path, read, limit)  # the file grew while it was read
        if number == 1 and raw.startswith(codecs.BOM_UTF8):
            raw = raw[len(codecs.BOM_UTF8) :]
        if b"\x00" in raw:
            raise _BadLine(number, raw, "a NUL byte: not a text table")
        try:
            yield decode(raw)[0]
        except UnicodeDecodeError:
            raise _BadLine(number, raw, "not UTF-8 text") from None


def _bad_line(path, bad, header):
    """The DataError of a line that is no text, naming the column of the bad cell when the
    line alone splits into the header's cells."""
    text = bad.raw.decode("utf-8", "surrogateescape").replace("\x00", _NUL_MARK)
    cells = next(csv.reader([text]), [])
    if header is not None and len(cells) == len(header):
        for name, cell in zip(header, cells):
            if _bad_cell(cell):
                return DataError(f"{path}, line {bad.number}, column {name}: {bad.what}")
    return DataError(f"{path}, line {bad.number}: {bad.what}")


def _header(path, names, present):
    missing = [name for name in names if name not in present]
    if missing:
        raise DataError(f"{path}: no column {', '.join(missing)} (the columns are {', '.join(present)})")
    doubled = sorted({name for name in names if present.count(name) > 1})
    if doubled:
        raise DataError(f"{path}: column {', '.join(doubled)} more than once")


def read_csv(path, columns, limit, check_row):
    """The :class:`~korvane_bond_demo.reader.table.Table` of the CSV file ``path`` with
    ``columns`` ((name, kind) of the layout), at most ``limit`` bytes;
    ``check_row(table, i)`` is called with each row as it is kept."""
    table = Table(path, columns, "line")
    plan = Plan(table, columns)
    names = [name for name, _ in columns]
    header = None
    with open(path, "rb") as handle:
        reader = csv.reader(_lines(handle, path, limit))
        try:
            header = next(reader, None)
            if header is None:
                raise DataError(f"{path}: empty: no header line")
            header = [name.strip() for name in header]
            _header(path, names, header)
            positions = [header.index(name) for name in names]
            width, line = len(header), reader.line_num
            for cells in reader:
                place, line = line + 1, reader.line_num
                if not cells:
                    continue  # a blank line
                if len(cells) != width:
                    raise DataError(f"{path}, line {place}: {len(cells)} cells, the header names {width}")
                check_row(table, plan.add(place, [cells[p] for p in positions]))
        except _BadLine as bad:
            raise _bad_line(path, bad, header) from None
        except csv.Error as error:
            raise DataError(f"{path}, line {reader.line_num}: not a CSV row: {error}") from None
    return table


def read_parquet(path, columns, limit, check_row):
    """As :func:`read_csv`, of a Parquet file (``limit``: its uncompressed size)."""
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise DataError(f"{path}: reading Parquet needs pyarrow (pip install pyarrow)") from None
    try:
        source = pq.ParquetFile(path)
        metadata = source.metadata
        expanded = sum(metadata.row_group(g).total_byte_size for g in range(metadata.num_row_groups))
        present = list(source.schema_arrow.names)
    except Exception as error:  # pyarrow's errors have no common base
        raise DataError(f"{path}: not a Parquet file: {' '.join(str(error).split())}") from None
    size_limit(path, expanded, limit)
    names = [name for name, _ in columns]
    _header(path, names, present)
    table = Table(path, columns, "row")
    plan = Plan(table, columns, text=False)
    batches = source.iter_batches(batch_size=PARQUET_BATCH, columns=names)
    row = 0
    while True:
        # a batch of rows at a time: the table's values are never all Python objects at once
        try:
            batch = next(batches, None)
            if batch is None:
                return table
            cells = [batch.column(name).to_pylist() for name in names]
        except Exception as error:  # pyarrow's errors have no common base
            raise DataError(f"{path}: not a Parquet file: {' '.join(str(error).split())}") from None
        for values in zip(*cells):
            row += 1
            check_row(table, plan.add(row, values))


def find(folder, name):
    """(the path of table ``name`` in ``folder``, its size), or None for a missing optional
    table."""
    found = []
    for path in (folder / f"{name}.csv", folder / f"{name}.parquet"):
        try:
            os.lstat(path)
        except FileNotFoundError:
            continue
        except OSError as error:
            raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
        found.append(path)
    if len(found) == 2:
        raise DataError(f"{folder}: both {name}.csv and {name}.parquet; keep one")
    if not found:
        if name in OPTIONAL_TABLES:
            return None
        raise DataError(f"{folder}: no {name}.csv (or {name}.parquet)")
    path = found[0]
    try:
        info = os.stat(path)  # a link to nowhere, or a loop of links, fails here
    except OSError as error:
        raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
    if not stat.S_ISREG(info.st_mode):
        raise DataError(f"{path}: not a regular file")
    return path, info.st_size


def read(path, size, columns, limit, check_row):
    """The table of the file ``path`` (``size`` bytes) found by :func:`find`."""
    size_limit(path, size, limit)
    try:
        if path.suffix == ".parquet":  # its uncompressed size is checked too
            return read_parquet(path, columns, limit, check_row)
        return read_csv(path, columns, limit, check_row)
    except OSError as error:
        raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
