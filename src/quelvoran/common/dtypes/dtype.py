"""The catalogue of ClickHouse base types.

``ClickhouseDtype`` maps every base type name a ClickHouse server reports for a
column (the name left once the Array, LowCardinality and Nullable wrappers are
removed, without its parameters) to a :class:`DtypeEntry`. The type-string
parser puts that entry first in its type descriptor, and the DataFrame casting
reads the entry's ``pytype`` to choose a pandas dtype.

``ClickhouseDtype[name]`` raises ``KeyError`` for a name it does not know; the
mapping is read-only.
"""

from __future__ import annotations

import datetime
import decimal
import ipaddress
import types
import uuid
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Final

__all__ = ["ClickhouseDtype", "DtypeEntry"]


@dataclass(frozen=True, slots=True)
class DtypeEntry:
    """One ClickHouse base type.

    ``name`` is the type name as the server writes it; ``pytype`` is the
    Python type of the column's values (for a container type, of the
    container itself: ``list``, ``tuple`` or ``dict``; ``object`` where a
    value can be of any type).
    """

    name: str
    pytype: type


_INTERVAL_UNITS = (
    "Nanosecond",
    "Microsecond",
    "Millisecond",
    "Second",
    "Minute",
    "Hour",
    "Day",
    "Week",
    "Month",
    "Quarter",
    "Year",
)

_PYTYPES: dict[str, type] = {
    **dict.fromkeys(
        [f"{sign}Int{bits}" for sign in ("", "U") for bits in (8, 16, 32, 64, 128, 256)],
        int,
    ),
    "Float32": float,
    "Float64": float,
    "BFloat16": float,
    "Bool": bool,
    "String": str,
    "FixedString": str,
    "Enum8": str,
    "Enum16": str,
    "UUID": uuid.UUID,
    "IPv4": ipaddress.IPv4Address,
    "IPv6": ipaddress.IPv6Address,
    "Date": datetime.date,
    "Date32": datetime.date,
    "DateTime": datetime.datetime,
    "DateTime64": datetime.datetime,
    # Time and Time64 are signed durations (up to 999:59:59 either way), not
    # times of day.
    "Time": datetime.timedelta,
    "Time64": datetime.timedelta,
    **dict.fromkeys(
        ["Decimal", "Decimal32", "Decimal64", "Decimal128", "Decimal256"],
        decimal.Decimal,
    ),
    # The server sends an Interval as a signed count of its unit.
    **dict.fromkeys([f"Interval{unit}" for unit in _INTERVAL_UNITS], int),
    "Nothing": types.NoneType,
    "Map": dict,
    "Tuple": tuple,
    "Nested": list,
    "JSON": dict,
    "Object": dict,
    "Variant": object,
    "Dynamic": object,
    "Point": tuple,
    "Ring": list,
    "LineString": list,
    "MultiLineString": list,
    "Polygon": list,
    "MultiPolygon": list,
    # The value type of these depends on their parameters.
    "SimpleAggregateFunction": object,
    # An aggregate function's state is opaque bytes.
    "AggregateFunction": bytes,
}

ClickhouseDtype: Final[Mapping[str, DtypeEntry]] = types.MappingProxyType(
    {name: DtypeEntry(name, pytype) for name, pytype in _PYTYPES.items()}
)
