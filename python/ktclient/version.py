"""The product version this client belongs to; the build checks it against its own."""

__version__ = "1.0.0"
