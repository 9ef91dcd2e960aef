"""ClickHouse type strings to type descriptors.

The parser itself, ``from_dtype``, is a C-level entry point only, offered to
compiled modules through ``__pyx_capi__``; the names below are what it looks up
in this module at every call, so rebinding one changes what the parser calls.
"""

from ast import literal_eval as literal_eval
from re import findall as findall
from re import match as match

from quelvoran.common.dtypes.dtype import ClickhouseDtype as ClickhouseDtype

__pyx_capi__: dict[str, object]
