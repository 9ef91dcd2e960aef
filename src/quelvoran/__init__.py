"""Column codecs for the ClickHouse Native format, and a client that moves Native data to and from ClickHouse."""

from quelvoran.client import Client, ServerError, TransportError, connect

__all__ = ["Client", "ServerError", "TransportError", "connect"]
