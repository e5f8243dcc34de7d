"""Quarn: an embedded vector database."""

from quarn._quarn import Client, Database, SearchResult

__all__ = ["Database", "Client", "SearchResult"]
