"""Small helpers used across the framework and by extension packages."""
