"""Framework logs.

``user_system_log`` carries the messages meant for the strategy's author
(refused orders, warnings about fills). It is a thin object over the standard
``logging`` logger named ``"korvane.user_system_log"``, so tests can read what
was logged with pytest's ``caplog``.
"""

import logging


class _Log:
    """A named log with both ``warn`` and ``warning`` spelled out.

    ``logging.Logger.warn`` is deprecated (and gone from newer interpreters), yet
    framework code calls ``user_system_log.warn``: here both names log one
    warning record, without any deprecation warning.
    """

    def __init__(self, name):
        self._logger = logging.getLogger(name)

    @property
    def name(self):
        return self._logger.name

    @property
    def logger(self):
        """The underlying ``logging.Logger``."""
        return self._logger

    # stacklevel=2 makes the record point at the caller, not at this wrapper.
    def debug(self, msg, *args, **kwargs):
        self._logger.debug(msg, *args, stacklevel=2, **kwargs)

    def info(self, msg, *args, **kwargs):
        self._logger.info(msg, *args, stacklevel=2, **kwargs)

    def warning(self, msg, *args, **kwargs):
        self._logger.warning(msg, *args, stacklevel=2, **kwargs)

    def warn(self, msg, *args, **kwargs):
        self._logger.warning(msg, *args, stacklevel=2, **kwargs)

    def error(self, msg, *args, **kwargs):
        self._logger.error(msg, *args, stacklevel=2, **kwargs)

    def __repr__(self):
        return f"<log {self.name!r}>"


user_system_log = _Log("korvane.user_system_log")
system_log = _Log("korvane.system_log")
