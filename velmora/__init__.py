from ._version import __version__
