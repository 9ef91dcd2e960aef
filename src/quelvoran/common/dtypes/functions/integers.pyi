# r_uint and w_uint are offered to compiled modules only, as capsules in
# __pyx_capi__ (see integers.h beside this module).
__pyx_capi__: dict[str, object]
