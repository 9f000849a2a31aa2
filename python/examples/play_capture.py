#!/usr/bin/python3
"""Opens a recording, plays it off-screen, captures a JPEG of region 0 and prints the file's
figures.

    python3 play_capture.py RECORDING [OUT.jpg]

With no recording given, a one-second synthetic fisheye one is made with quorix-mux (found
through $QUORIX_MUX or on the PATH). The library is found through $QUORIX_LIBRARY, next to the
package, or by the system loader.
"""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import threading

import quorixsdk as q

WIDTH, HEIGHT = 640, 360


def synthetic(directory):
    mux = os.environ.get("QUORIX_MUX") or shutil.which("quorix-mux")
    if not mux:
        sys.exit("no recording given and no quorix-mux to make one")
    path = os.path.join(directory, "fisheye.zbm")
    subprocess.run([mux, "--synthetic", "fisheye", "--duration", "1", "--quiet", path], check=True)
    return path


def as_datetime(days):
    """Days since 1899-12-30 (local time) as a date-time."""
    return datetime.datetime(1899, 12, 30) + datetime.timedelta(days=days)


def main():
    work = tempfile.mkdtemp(prefix="quorix-example-")
    recording = sys.argv[1] if len(sys.argv) > 1 else synthetic(work)
    jpeg = sys.argv[2] if len(sys.argv) > 2 else os.path.join(work, "capture.jpg")

    begin, end = q.file_info(recording)
    ended = threading.Event()
    with q.Library(), q.Port() as port:
        port.set_region(0, (0, 0, WIDTH, HEIGHT))
        port.open_file(recording)
        port.set_file_end_callback(lambda number: ended.set())
        port.play()  # no window: drawn off-screen
        # Captures time out until the first picture is drawn: the wrapper retries for a while.
        port.capture_jpeg(0, jpeg, retry_s=30)
        reached_end = ended.wait(timeout=120)
        print(f"file:          {recording}")
        print(f"frames:        {port.total_frames}")
        print(f"duration:      {port.total_time_ms} ms")
        print(f"begins:        {as_datetime(begin):%Y-%m-%d %H:%M:%S.%f}")
        print(f"ends:          {as_datetime(end):%Y-%m-%d %H:%M:%S.%f}")
        print(f"display types: {port.display_types()} (region 0 shows {port.display_type(0)})")
        print(f"pan/tilt/zoom: {port.ptz(0)}")
        print(f"played to end: {'yes' if reached_end else 'no'}")
        print(f"capture:       {jpeg} ({os.path.getsize(jpeg)} bytes, {WIDTH}x{HEIGHT} region)")
    return 0 if reached_end else 1


if __name__ == "__main__":
    sys.exit(main())
