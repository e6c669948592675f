"""Run configuration with attribute access (``config.mod.bond.valuation_source``)."""

import copy

DEFAULT_CONFIG = {
    "mod": {
        "bond": {
            # "exchange" values every bond from realized cash flows; any other
            # value lets inter-bank bonds follow their implied cash flows.
            "valuation_source": "implied",
        },
    },
}


class AttrDict:
    """A nested mapping whose keys read as attributes.

    A missing key raises ``AttributeError`` (for attribute access) or
    ``KeyError`` (for item access) naming the full dotted path.
    """

    def __init__(self, data=None, path=""):
        object.__setattr__(self, "_path", path)
        object.__setattr__(self, "_data", {})
        for key, value in (data or {}).items():
            self[key] = value

    def _dotted(self, key):
        return f"{self._path}.{key}" if self._path else str(key)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        try:
            return self._data[name]
        except KeyError:
            raise AttributeError(f"configuration has no key {self._dotted(name)!r}") from None

    def __setattr__(self, name, value):
        self[name] = value

    def __getitem__(self, key):
        try:
            return self._data[key]
        except KeyError:
            raise KeyError(f"configuration has no key {self._dotted(key)!r}") from None

    def __setitem__(self, key, value):
        if isinstance(value, dict):
            value = AttrDict(value, self._dotted(key))
        self._data[key] = value

    def __contains__(self, key):
        return key in self._data

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def get(self, key, default=None):
        return self._data.get(key, default)

    def keys(self):
        return self._data.keys()

    def items(self):
        return self._data.items()

    def to_dict(self):
        return {k: v.to_dict() if isinstance(v, AttrDict) else v for k, v in self._data.items()}

    def __eq__(self, other):
        if isinstance(other, AttrDict):
            return self.to_dict() == other.to_dict()
        if isinstance(other, dict):
            return self.to_dict() == other
        return NotImplemented

    def __repr__(self):
        return f"AttrDict({self.to_dict()!r})"


def _merge(base, overrides):
    for key, value in overrides.items():
        parts = key.split(".") if isinstance(key, str) else [key]
        target = base
        for part in parts[:-1]:
            if not isinstance(target.get(part), dict):
                target[part] = {}
            target = target[part]
        last = parts[-1]
        if isinstance(value, dict) and isinstance(target.get(last), dict):
            _merge(target[last], value)
        else:
            target[last] = copy.deepcopy(value)


def make_config(overrides=None):
    """Return the default configuration updated with ``overrides``.

    ``overrides`` is a nested dict (``{"mod": {"bond": {"valuation_source": "exchange"}}}``)
    or uses dotted keys (``{"mod.bond.valuation_source": "exchange"}``); nested
    dicts are merged key by key, other values replace what was there.
    """
    data = copy.deepcopy(DEFAULT_CONFIG)
    if overrides is not None:
        if isinstance(overrides, AttrDict):
            overrides = overrides.to_dict()
        if not isinstance(overrides, dict):
            raise TypeError(f"configuration overrides must be a dict, got {overrides!r}")
        _merge(data, overrides)
    return AttrDict(data)
