"""A recording made by quorix-mux: its figures through the wrapper match the file's own records,
it plays off-screen to its end (the file-end callback), a capture writes a JPEG of the region,
and the example script does the same from the command line."""

import os
import struct
import subprocess
import sys
from pathlib import Path

from conftest import ROOT, Waiter, decode_rgb, walk_records

KIND_VIDEO = (1, 3, 4)
W, H = 160, 90


def picture_size(data, index):
    """Width and height of the index-th record of a container file, from its header."""
    offset = struct.unpack_from("<I", data, 32)[0]
    for _ in range(index):
        offset += 28 + struct.unpack_from("<I", data, offset + 24)[0]
    return struct.unpack_from("<HH", data, offset + 18)


def test_figures_playback_and_capture(q, synthetic_recording, tmp_path):
    data = synthetic_recording.read_bytes()
    stamps = [stamp for kind, stamp in walk_records(data) if kind in KIND_VIDEO]
    assert len(stamps) > 10
    begin, end = q.file_info(synthetic_recording)
    # Days since 1899-12-30: the recording spans its stamps.
    assert abs((end - begin) * 86_400_000 - (stamps[-1] - stamps[0])) < 2
    ended = Waiter()
    with q.Port() as port:
        port.set_region(0, (0, 0, W, H))
        port.open_file(synthetic_recording)
        assert port.total_frames == len(stamps)
        assert port.total_time_ms == stamps[-1] - stamps[0]
        assert port.display_types() == [q.DISPLAY_PLANE]
        port.set_file_end_callback(ended)
        port.play()
        assert port.playing
        jpeg = tmp_path / "region.jpg"
        port.capture_jpeg(0, jpeg, retry_s=30)
        assert ended.wait(), "the file-end callback came"
        assert ended.items[0] == port.number
        port.stop()
        assert not port.playing
    assert jpeg.read_bytes()[:2] == b"\xff\xd8"
    # The region as drawn (OpenGL), or the picture itself (the software display showing it flat).
    first_video = next(i for i, (kind, _) in enumerate(walk_records(data)) if kind in KIND_VIDEO)
    width, height = picture_size(data, first_video)
    assert len(decode_rgb(jpeg)) in (W * H * 3, width * height * 3)


def test_example_plays_captures_and_prints_the_figures(synthetic_recording, tmp_path):
    jpeg = tmp_path / "example.jpg"
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(
        [str(ROOT / "python"), environment.get("PYTHONPATH", "")]
    )
    done = subprocess.run(
        [sys.executable, str(ROOT / "python" / "examples" / "play_capture.py"),
         str(synthetic_recording), str(jpeg)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    frames = sum(1 for kind, _ in walk_records(synthetic_recording.read_bytes()) if kind in KIND_VIDEO)
    assert f"frames:        {frames}" in done.stdout
    assert "played to end: yes" in done.stdout
    assert Path(jpeg).read_bytes()[:2] == b"\xff\xd8"
