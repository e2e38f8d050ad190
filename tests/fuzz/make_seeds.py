#!/usr/bin/env python3
"""Writes the seed inputs of the registry-read and resource-write fuzz targets
into corpus/registry_read/ and corpus/resource_write/ beside this script.

The seeds put the edge cases in reach at once: every value type at stored
lengths 0, 1, 2 and one below, at and one above the read capacity, the fixed
capacities of the updater check (1024), the reinstall check (512) and the
status update (128), and every fault the writer harness can inject.
The record layouts are the ones the harnesses decode (see their headers).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# ---- registry_read_fuzz ----------------------------------------------------

READ_STRING, SIZE_QUERY, READ_SETTING, READ_KIT_HOME, READ_UPDATER_VERSION = 0, 1, 2, 3, 4
IS_UPDATER_OLDER, CONSUME_REINSTALL, UPDATE_STATUS, IS_RUNTIME_REGISTERED = 5, 6, 7, 8

KEY_ABSENT, VALUE_ABSENT, OTHER_VALUE, SUBKEY = 1, 2, 4, 8
QUERY_FAILS, CLOSE_FAILS, DENY_WRITE = 16, 32, 64

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 0, 1, 2, 3, 4, 7
UNKNOWN_TYPE = 11
TYPES = [REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, UNKNOWN_TYPE]
TEXT_TYPES = [REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ]


def record(op, value_type, data, capacity=0, flags=0):
    return struct.pack("<BBBHH", op, value_type, flags, capacity, len(data)) + data


def terminated(value_type, length, letter=b"a"):
    """`length` bytes that end as text of the type must end, where they can."""
    zeros = 2 if value_type == REG_MULTI_SZ else 1
    if length < zeros:
        return b"\0" * length
    return letter * (length - zeros) + b"\0" * zeros


def lengths_around(capacity):
    return [0, 1, 2, capacity - 1, capacity, capacity + 1]


def registry_seeds():
    cap = 16
    seeds = {}

    rows = []
    for t in TYPES:
        for n in lengths_around(cap):
            rows.append(record(READ_STRING, t, terminated(t, n), cap))
    for t in TEXT_TYPES:
        for n in lengths_around(cap):
            rows.append(record(READ_STRING, t, b"b" * n, cap))
    seeds["read_string_lengths"] = rows

    rows = []
    for t in TYPES:
        for n in lengths_around(cap):
            rows.append(record(READ_SETTING, t, terminated(t, n), cap))
    for t in TEXT_TYPES:
        for n in lengths_around(cap):
            rows.append(record(READ_KIT_HOME, t, terminated(t, n), cap))
    seeds["setting_and_kit_lengths"] = rows

    rows = []
    for t in TYPES:
        for n in lengths_around(cap):
            rows.append(record(READ_UPDATER_VERSION, t, terminated(t, n, b"7"), cap))
    rows += [
        record(SIZE_QUERY, REG_DWORD, b"\x05\0\0\0"),
        record(SIZE_QUERY, REG_SZ, b"abc"),
        record(SIZE_QUERY, REG_SZ, b"abc", flags=VALUE_ABSENT),
        record(SIZE_QUERY, REG_SZ, b"abc", flags=QUERY_FAILS),
        record(IS_RUNTIME_REGISTERED, REG_NONE, b""),
        record(IS_RUNTIME_REGISTERED, REG_NONE, b"", flags=KEY_ABSENT),
        record(READ_SETTING, REG_SZ, b"on\0", cap, KEY_ABSENT),
        record(READ_KIT_HOME, REG_SZ, b"C:\\kit\0", cap, VALUE_ABSENT),
        record(READ_KIT_HOME, REG_SZ, b"C:\\kit\0", cap, QUERY_FAILS | CLOSE_FAILS),
        record(READ_STRING, REG_MULTI_SZ, b"a\0b\0\0", cap),
        record(READ_STRING, REG_SZ, b"ab\0c", cap),
    ]
    for version in [b"2.0.7.2\0", b"2.0.6.9\0", b"2.0.10.0\0", b"2.1.0.0\0", b"2.0.7\0", b"\0", b"2.0.7.2"]:
        rows.append(record(IS_UPDATER_OLDER, REG_SZ, version))
    rows.append(record(IS_UPDATER_OLDER, REG_DWORD, b"\x01\x02\x03\x04"))
    rows.append(record(IS_UPDATER_OLDER, REG_SZ, b"1.0\0", flags=KEY_ABSENT))
    seeds["updater_version_and_probes"] = rows

    seeds["updater_capacity"] = [
        record(IS_UPDATER_OLDER, REG_SZ, b"1" * (n - 1) + b"\0") for n in (1023, 1024)
    ] + [record(IS_UPDATER_OLDER, REG_BINARY, b"1" * 1024), record(IS_UPDATER_OLDER, REG_SZ, b"1" * 1024 + b"\0")]

    request = b"reinstall"
    rows = [
        record(CONSUME_REINSTALL, REG_SZ, request),
        record(CONSUME_REINSTALL, REG_SZ, request + b"\0"),
        record(CONSUME_REINSTALL, REG_EXPAND_SZ, request + b"\0", flags=OTHER_VALUE),
        record(CONSUME_REINSTALL, REG_MULTI_SZ, request + b"\0\0", flags=SUBKEY),
        record(CONSUME_REINSTALL, REG_BINARY, request),
        record(CONSUME_REINSTALL, REG_SZ, request + b"\0", flags=DENY_WRITE),
        record(CONSUME_REINSTALL, REG_SZ, b"Reinstall\0"),
        record(CONSUME_REINSTALL, REG_SZ, b"reinstall \0"),
        record(CONSUME_REINSTALL, REG_SZ, request, flags=KEY_ABSENT),
    ]
    for n in (511, 512, 513):
        rows.append(record(CONSUME_REINSTALL, REG_SZ, request + b"\0" * (n - len(request))))
    # Letters that fill the whole status text, with no zero byte among them.
    rows.append(record(CONSUME_REINSTALL, REG_SZ, request + b"x" * (512 - len(request))))
    for n in (127, 128, 129):
        rows.append(record(UPDATE_STATUS, REG_SZ, terminated(REG_SZ, n), 0))
    rows += [
        record(UPDATE_STATUS, REG_SZ, b"abc\0", 124),
        record(UPDATE_STATUS, REG_SZ, b"abc\0", 125),
        record(UPDATE_STATUS, REG_SZ, b"abc", 3),
        record(UPDATE_STATUS, REG_SZ, b"\0", 3),
        record(UPDATE_STATUS, REG_MULTI_SZ, b"abc\0\0", 1),
        record(UPDATE_STATUS, REG_SZ, b"abc\0", 3, DENY_WRITE),
        record(UPDATE_STATUS, REG_SZ, b"abc\0", 3, KEY_ABSENT),
    ]
    seeds["install_status"] = rows
    return seeds


# ---- resource_write_fuzz -----------------------------------------------------

OLD_FILE, LOAD_FAILS, NO_SYSTEM_TEXT, NO_MESSAGE_MEMORY = 1, 2, 4, 8
MISSING_FOLDER, PATH_DID_NOT_FIT, ITEM_MISSING = 16, 32, 64
SHORT_WRITE, WRITE_FAILS, CREATE_FAILS, CLOSE_FAILS_EVENT, DISK_SPACE = 0, 1, 2, 3, 4
# Indexes into the harness's table of error codes.
ERR_0, ERR_5, ERR_112, ERR_9999 = 0, 1, 6, 8


def write_input(size, flags=0, events=(), seed=7):
    data = struct.pack("<I", size)[:3] + bytes([seed, flags])
    for kind, a, b in events:
        data += struct.pack("<BBH", kind, a, b)
    return data


def writer_seeds():
    return {
        "size_0": write_input(0),
        "size_1": write_input(1),
        "size_8191": write_input(8191),
        "size_8192": write_input(8192),
        "size_8193": write_input(8193),
        "size_three_chunks_and_rest": write_input(3 * 8192 + 100, OLD_FILE),
        "size_64k": write_input(65536),
        "short_writes": write_input(20000, 0, [(SHORT_WRITE, 0, 5000), (SHORT_WRITE, 1, 1)]),
        "zero_write": write_input(10000, 0, [(SHORT_WRITE, 1, 0)]),
        "failed_write": write_input(30000, OLD_FILE, [(WRITE_FAILS, 2, ERR_5)]),
        "failed_write_without_code": write_input(9000, NO_SYSTEM_TEXT, [(WRITE_FAILS, 1, ERR_0)]),
        "disk_full": write_input(3 * 8192, 0, [(DISK_SPACE, 0, (2 * 8192) >> 8)]),
        "create_fails": write_input(100, NO_MESSAGE_MEMORY, [(CREATE_FAILS, 0, ERR_9999)]),
        "close_fails": write_input(100, OLD_FILE, [(CLOSE_FAILS_EVENT, 0, ERR_5)]),
        "paths": write_input(100, MISSING_FOLDER | OLD_FILE),
        "load_fails": write_input(100, LOAD_FAILS | OLD_FILE, seed=ERR_112),
        "item_missing": write_input(100, ITEM_MISSING | OLD_FILE),
    }


def write_folder(name, seeds):
    folder = os.path.join(HERE, "corpus", name)
    os.makedirs(folder, exist_ok=True)
    for seed_name, data in seeds.items():
        if isinstance(data, list):
            data = b"".join(data)
        with open(os.path.join(folder, seed_name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    write_folder("registry_read", registry_seeds())
    write_folder("resource_write", writer_seeds())
