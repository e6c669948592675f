"""Framework mods."""
