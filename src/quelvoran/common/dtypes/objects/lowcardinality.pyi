"""LowCardinality column codec for the ClickHouse Native format.

A LowCardinality object serves one thread at a time. Shared anyway, or
re-entered from an element codec's callback, it refuses a write, clear or
reset that would overlap another on the same object (RuntimeError, which
write reports as unraisable and clear raises), so every block that clear
returns reads back as rows that were written to it.
"""

from datetime import date as date, datetime as datetime
from typing import Any

from typing_extensions import disjoint_base

@disjoint_base
class LowCardinality:
    """Class for unpacking data from
    the LowCardinality block into a regular
    Data Type (String, FixedString, Date, DateTime,
    and numbers excepting Decimal)."""

    fileobj: Any
    dtype: Any
    name: str | None
    is_nullable: Any
    total_rows: int
    dictionary: list[Any] | None
    index_elements: list[Any] | None
    index_size: int
    defaul_value: Any
    size: int
    default_value: Any
    _read_header: bool
    def __init__(self, fileobj: Any, dtype: Any, is_nullable: Any, total_rows: int = 0) -> None: ...
    def skip(self) -> None: ...
    def read(self) -> list[Any] | None: ...
    def tell(self) -> int: ...
    def write(self, dtype_value: Any, /) -> int: ...
    def clear(self) -> bytes | None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...] | None, /) -> None: ...

def __pyx_unpickle_LowCardinality(
    __pyx_type: type[LowCardinality], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> LowCardinality: ...
