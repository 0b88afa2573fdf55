"""The input record evsnap reads, for the tests written in Python.

struct input_event: two kernel longs of time (seconds, microseconds), then
u16 type, u16 code and s32 value, all in the machine's byte order. The time is
zero: evsnap does not look at it."""

import struct

ORDERS = {"little": "<", "big": ">"}
WORDS = {32: "I", 64: "Q"}


def pack(type_, code, value, /, *, bits, endian="little"):
    """One record for a machine whose kernel long has `bits` bits (32 or 64)
    and whose byte order is `endian` ("little" or "big")."""
    word = WORDS[bits]
    return struct.pack(f"{ORDERS[endian]}{word}{word}HHi", 0, 0, type_, code, value)
