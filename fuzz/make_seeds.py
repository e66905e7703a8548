#!/usr/bin/env python3
"""Writes the generated seeds of the fuzz targets into fuzz/corpus/<name>/ (run from anywhere;
the files are committed). Each seed is small and reaches deep: a whole exchange the target's
harness understands, so that mutations start from inside the protocol, not at its door."""
import os
import struct
import sys

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
SEEDS = {}


def seed(target, name):
    def register(make):
        SEEDS.setdefault(target, []).append((name, make))
        return make
    return register


def frame(address, data):
    return bytes([address, len(data)]) + bytes(data)


# ---- link_reader: [flags][bytes the module sends] ---------------------------------------------

@seed("link_reader", "clean_frames")
def _():
    return b"\x00" + frame(4, [0x10, 1, 2]) + frame(4, []) + frame(6, list(range(28))) + frame(4, [0x5F, 0, 0, 0, 0, 1])


@seed("link_reader", "heartbeats")
def _():
    return b"\x00" + frame(4, [0, 0]) + frame(4, [0, 1]) + frame(4, [0x12, 3, 4]) + frame(4, [0, 5])


@seed("link_reader", "filter_and_quiet")
def _():
    return b"\x03" + frame(4, [0x7E]) + frame(4, [1, 2]) + frame(8, [0x7E, 0x7E]) + frame(4, [9])


@seed("link_reader", "lost_step_then_sync")
def _():
    return b"\x00" + frame(4, [1]) + b"\x05\x09" + b"\x04\x00\x04\x00" + frame(4, [0x10, 7]) + b"\x04\x1f"


@seed("link_reader", "sync_answers_wrong")
def _():
    return b"\x02" + b"\x03" + b"\x04\x01" + b"\x04\x00\x06" + b"\x04\x00\x04\x01" + b"\x06\x00\x06\x00" + frame(6, [2])


def main():
    only = set(sys.argv[1:])
    for target, seeds in SEEDS.items():
        if only and target not in only:
            continue
        folder = os.path.join(CORPUS, target)
        os.makedirs(folder, exist_ok=True)
        for name, make in seeds:
            with open(os.path.join(folder, "gen_" + name), "wb") as out:
                out.write(make())


if __name__ == "__main__":
    main()
