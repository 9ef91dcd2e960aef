from typing import Any, Protocol

from _typeshed import ReadableBuffer

class _Reader(Protocol):
    def read(self, n: int, /) -> Any: ...

__pyx_capi__: dict[str, object]

def pack(fmt: str | bytes, /, *v: Any) -> bytes: ...
def unpack(format: str | bytes, buffer: ReadableBuffer, /) -> tuple[Any, ...]: ...
def read_bool(
    fileobj: _Reader,
    length: object = None,
    precision: object = None,
    scale: object = None,
    tzinfo: object = None,
    enumcase: object = None,
) -> bool: ...
def write_bool(
    dtype_value: object,
    length: object = None,
    precision: object = None,
    scale: object = None,
    tzinfo: object = None,
    enumcase: object = None,
) -> bytes: ...
def read_nothing(
    fileobj: _Reader,
    length: object = None,
    precision: object = None,
    scale: object = None,
    tzinfo: object = None,
    enumcase: object = None,
) -> None: ...
def write_nothing(
    dtype_value: object = None,
    length: object = None,
    precision: object = None,
    scale: object = None,
    tzinfo: object = None,
    enumcase: object = None,
) -> bytes: ...
