# from_dtype is offered to compiled modules only, as a capsule in __pyx_capi__
# (see parse.h and parse.pxd beside this module). It looks the names below up
# in this module at every call, so rebinding one changes what it calls.
from ast import literal_eval as literal_eval
from re import findall as findall, match as match

from quelvoran.common.dtypes.dtype import ClickhouseDtype as ClickhouseDtype

__pyx_capi__: dict[str, object]
