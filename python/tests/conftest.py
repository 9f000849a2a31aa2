"""Shared set-up of the Python suite: where the headers and the muxer are, test media builders.

scripts/test runs this suite through ctest with QUORIX_LIBRARY pointing at the freshly built
library, QUORIX_INCLUDE_DIR at the source tree's headers and QUORIX_MUX at the built quorix-mux.
"""

import os
import struct
import subprocess
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# Frame record layout (quorixsdk_container.h), written here independently of the library.
RECORD_SIZE = 28
RECORD_MAGIC_PLAIN = 0x7468
KIND_KEY = 1
CODEC_MJPEG = 2
FILE_HEADER_SIZE = 64


def include_dir():
    return Path(os.environ.get("QUORIX_INCLUDE_DIR", ROOT / "include"))


def mux_path():
    path = os.environ.get("QUORIX_MUX") or str(ROOT / "build" / "tools" / "quorix-mux")
    if not os.access(path, os.X_OK):
        pytest.fail(f"quorix-mux not found at {path}; set QUORIX_MUX")
    return path


def record(payload, sequence=0, stamp_ms=1000, clock=1_700_000_000, codec=CODEC_MJPEG,
           width=0, height=0, kind=KIND_KEY, stream=0):
    """One frame record: the 28-byte little-endian header, then the payload."""
    header = struct.pack(
        "<HBBIIIBBHHHI",
        RECORD_MAGIC_PLAIN,
        kind,
        stream,
        sequence,
        stamp_ms,
        clock,
        codec,
        0,
        width,
        height,
        0,
        len(payload),
    )
    assert len(header) == RECORD_SIZE
    return header + payload


def walk_records(data):
    """(kind, stamp) of every frame record of a container file, read by offsets alone."""
    data_offset = struct.unpack_from("<I", data, 32)[0]
    index_offset = struct.unpack_from("<I", data, 36)[0]
    end = index_offset if index_offset else len(data)
    out = []
    offset = data_offset
    while offset + RECORD_SIZE <= end:
        magic, kind_byte = struct.unpack_from("<HB", data, offset)
        assert magic == RECORD_MAGIC_PLAIN, hex(offset)
        stamp = struct.unpack_from("<I", data, offset + 8)[0]
        length = struct.unpack_from("<I", data, offset + 24)[0]
        out.append((kind_byte & 0x7F, stamp))
        offset += RECORD_SIZE + length
    return out


class Waiter:
    """Collects what a callback delivers; the test waits on a condition, never on a clock."""

    def __init__(self):
        self.items = []
        self.cond = threading.Condition()

    def __call__(self, *args):
        with self.cond:
            self.items.append(args if len(args) != 1 else args[0])
            self.cond.notify_all()

    def wait(self, predicate=lambda items: len(items) > 0, timeout=60.0):
        with self.cond:
            return self.cond.wait_for(lambda: predicate(self.items), timeout)


@pytest.fixture
def q():
    """The package with the library initialised for the test."""
    import quorixsdk

    quorixsdk.init()
    yield quorixsdk
    quorixsdk.release()


@pytest.fixture(scope="session")
def synthetic_recording(tmp_path_factory):
    """A one-second recording of the normal (flat) model made by quorix-mux."""
    path = tmp_path_factory.mktemp("media") / "normal.zbm"
    subprocess.run(
        [mux_path(), "--synthetic", "normal", "--duration", "1", "--width", "320", "--quiet",
         str(path)],
        check=True,
        timeout=300,
    )
    return path


def ffmpeg(*args, data=None):
    """FFmpeg's command-line tool, the outside reference for pictures."""
    done = subprocess.run(
        ["ffmpeg", "-loglevel", "error", "-y", *args],
        input=data,
        capture_output=True,
        check=True,
        timeout=120,
    )
    return done.stdout


def jpeg_of(rgb, width, height):
    """A JPEG of packed R, G, B rows (top row first), encoded by FFmpeg."""
    return ffmpeg(
        "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{width}x{height}", "-i", "-",
        "-q:v", "2", "-pix_fmt", "yuvj420p", "-f", "mjpeg", "-", data=rgb,
    )


def decode_rgb(path):
    """Packed R, G, B rows (top row first) of a picture file, decoded by FFmpeg."""
    return ffmpeg("-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24", "-")
