"""Quarn: an embedded vector database."""

from quarn._quarn import Client, Database, SearchResult, Where
from quarn._version import __version__

__all__ = ["Database", "Client", "SearchResult", "Where"]
