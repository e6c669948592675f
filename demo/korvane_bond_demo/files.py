"""The output folder: checked before a run, written atomically after it.

Every output is first written under a temporary name in the output folder and
renamed into place only when all of them have been written, so a run that is
interrupted or fails leaves the previous outputs (or none), never a torn file.
"""

import contextlib
import os
import signal
import tempfile
import threading
from pathlib import Path

from korvane_bond_demo import interrupt


class OutputError(ValueError):
    """The output folder cannot take the outputs."""


def check_output_folder(out, names):
    """Make sure ``out`` is a folder the outputs ``names`` can be written into (creating
    it when missing); return it as a ``Path``. Raises :class:`OutputError`."""
    text = os.fspath(out)
    if text.strip() == "":
        raise OutputError("the output folder is empty; name a folder (--out .) to write into the current one")
    path = Path(text)
    for parent in reversed([path, *path.parents]):
        if parent.exists() and not parent.is_dir():
            if parent == path:
                raise OutputError(f"the output folder {path} is a file, not a folder")
            raise OutputError(f"the output folder {path} cannot be made: {parent} is a file, not a folder")
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise OutputError(f"cannot make the output folder {path}: {error.strerror or error}") from None
    try:
        handle, probe = tempfile.mkstemp(dir=path, prefix=".write-test-")
        os.close(handle)
        os.unlink(probe)
    except OSError as error:
        raise OutputError(f"cannot write into the output folder {path}: {error.strerror or error}") from None
    for name in names:
        target = path / name
        if target.exists() and not target.is_file():
            raise OutputError(f"{target} is in the way of an output: it is not a regular file")
    return path


class Staging:
    """Outputs written under temporary names in one folder, renamed together by :meth:`commit`."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self._staged = {}  # final path -> temporary path

    def path(self, name):
        """A temporary path to write the output ``name`` to."""
        with _sigint_deferred():  # made and recorded, so that it is removed with the others
            handle, temporary = tempfile.mkstemp(dir=self.folder, prefix=f".{name}.", suffix=".partial")
            self._staged[self.folder / name] = Path(temporary)
        os.close(handle)
        os.chmod(temporary, 0o666 & ~_umask())  # as open() would make it, not mkstemp's 0600
        return Path(temporary)

    def commit(self):
        """Rename every staged output into place; Ctrl-C waits until all are renamed."""
        with _sigint_deferred():
            for final, temporary in self._staged.items():
                os.replace(temporary, final)
            self._staged.clear()

    def discard(self):
        """Remove every staged output (the previous outputs stay as they were)."""
        for temporary in list(self._staged.values()):
            with contextlib.suppress(OSError):
                temporary.unlink()
        self._staged.clear()

    @property
    def finals(self):
        return list(self._staged)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def staged(folder):
    """Stage outputs in ``folder``; commit them when the block ends normally, else remove
    them (also when Ctrl-C ends the command in the block)."""
    staging = Staging(folder)
    with interrupt.cleaning(staging.discard):
        try:
            yield staging
            staging.commit()
        finally:
            staging.discard()


@contextlib.contextmanager
def _sigint_deferred():
    """Hold a Ctrl-C back for the duration of the block, then raise it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught = []
    previous = signal.signal(signal.SIGINT, lambda signum, _frame: caught.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt
