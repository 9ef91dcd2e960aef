# The length prefix is offered to compiled modules only: read_length and
# write_length are capsules in __pyx_capi__ (see length.h beside this module).
__pyx_capi__: dict[str, object]
