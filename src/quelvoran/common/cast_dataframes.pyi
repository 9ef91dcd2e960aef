from datetime import date as date, datetime as datetime
from types import NoneType as NoneType
from typing import Any

__pyx_capi__: dict[str, object]

def pandas_astype(column_list: list[Any] | None, /) -> dict[str | None, str | None]: ...
