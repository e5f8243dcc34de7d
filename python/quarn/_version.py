"""The package's version: written here only. `import quarn` exports it as quarn.__version__,
and the build backend (scripts/quarn_build.py) reads it for the wheel's metadata."""

__version__ = "0.1.0"
