#!/usr/bin/env python3
"""Writes a deterministic release tree of mixed files for the benchmarks.

usage: make_release.py DIR MEGABYTES

About MEGABYTES MB in: source-like text (most of the files, a few KB each), executables with
an ELF header and code-like bytes (7zz gives them their own x86 filtered folder), incompressible
blobs, and a few large files. The same arguments always give the same bytes.
"""
import os
import random
import sys

WORDS = ("int void return const static struct class namespace include define if else for while "
         "switch case break continue unsigned char size_t auto template typename public private "
         "virtual override bool true false nullptr buffer length offset index count result data "
         "value name path file error status version package folder stream reader writer").split()


# Machine code's skewed byte distribution, with plenty of call opcodes, and an ELF header.
CODE_ALPHABET = bytes([0x00, 0x00, 0x00, 0xe8, 0x48, 0x89, 0x8b, 0xff, 0x0f, 0x85, 0xc3, 0x24,
                       0x45, 0x01, 0x10, 0x20, 0x74, 0x75, 0xeb, 0x83, 0xc0, 0x31, 0x41, 0x4c])
CODE_TABLE = bytes(CODE_ALPHABET[i % len(CODE_ALPHABET)] if i < 200 else i for i in range(256))
ELF_HEADER = b"\x7fELF\x02\x01\x01" + bytes(9) + b"\x03\x00\x3e\x00\x01\x00\x00\x00" + bytes(40)


def text_lines(rng, n):
    lines = []
    for _ in range(n):
        indent = "    " * rng.randrange(4)
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(2, 12)))
        lines.append(f"{indent}{words}({rng.randrange(1000)});\n")
    return lines


def code_bytes(rng, size, table=CODE_TABLE):
    # Skewed byte distribution with plenty of call opcodes: compressible like machine code.
    return rng.randbytes(size).translate(table)


def library(rng, size):
    """A shared library's bytes: an ELF header and size bytes of code."""
    return ELF_HEADER + code_bytes(rng, size)


def rebuilt(data, rng):
    """The library as a rebuild after a small change leaves it: new code inserted in the middle
    shifts everything after it, and a few thousand scattered words change (one per 3500 bytes):
    half of them addresses that moved by the insertion, half other values."""
    shift = max(4096, len(data) // 160)
    at = rng.randrange(len(data) // 4, 3 * len(data) // 4)
    out = bytearray(data[:at] + code_bytes(rng, shift) + data[at:])
    for _ in range(len(out) // 3500):
        p = rng.randrange(len(ELF_HEADER), len(out) - 4) & ~3
        if rng.random() < 0.5:
            word = (int.from_bytes(out[p:p + 4], "little") + shift) & 0xffffffff
        else:
            word = rng.getrandbits(32)
        out[p:p + 4] = word.to_bytes(4, "little")
    return bytes(out)


def main():
    root, megabytes = sys.argv[1], float(sys.argv[2])
    scale = megabytes / 200.0
    rng = random.Random(20261208)
    lines = text_lines(rng, 4000)

    def write(rel, data):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    for i in range(int(5000 * scale)):
        size = int(rng.lognormvariate(8.8, 1.0)) + 200  # median ~7 KB, mean ~12 KB
        out, total = [], 0
        while total < size:
            line = lines[rng.randrange(len(lines))]
            out.append(line)
            total += len(line)
        write(f"src/m{i % 50:02d}/s{i // 50:03d}/file{i:05d}.cpp", "".join(out).encode())
    for i in range(int(500 * scale)):
        size = int(rng.lognormvariate(11.0, 0.8))  # median ~60 KB
        write(f"bin/tool{i:04d}.so", library(rng, size))
    for i in range(int(100 * scale)):
        size = int(rng.lognormvariate(12.8, 0.7))  # median ~360 KB
        write(f"media/blob{i:04d}.dat", rng.randbytes(size))
    large = [("large/archive.pak", 24), ("large/log.txt", 16), ("large/engine.so", 10)]
    for rel, mib in large:
        size = int(mib * scale * (1 << 20))
        if rel.endswith(".pak"):
            data = rng.randbytes(size)
        elif rel.endswith(".txt"):
            data = "".join(lines[rng.randrange(len(lines))] for _ in range(size // 40)).encode()
        else:
            data = library(rng, size)
        write(rel, data)


if __name__ == "__main__":
    main()
