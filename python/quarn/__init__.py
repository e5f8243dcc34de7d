"""Quarn: an embedded vector database."""

from quarn._quarn import Client, Database, SearchResult, Where

__all__ = ["Database", "Client", "SearchResult", "Where"]
