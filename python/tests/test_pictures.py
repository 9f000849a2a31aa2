"""Snapshot pictures reach Python as arrays (or memoryviews without NumPy) with the picture's
own orientation and channel order: a picture of four coloured quarters, encoded by FFmpeg, pushed
as a JPEG frame record and read back from the snapshot callback. Both renderers: OpenGL delivers
the format asked for; the software display showing a flat picture delivers the decoded YUV 4:2:0
picture (on a machine whose OpenGL is a software rasteriser, ports take it by default)."""

import os

import pytest
from conftest import Waiter, decode_rgb, jpeg_of, record

import quorixsdk

W, H = 64, 48
# Quarters as (R, G, B): top-left red, top-right green, bottom-left blue, bottom-right white.
QUARTERS = {
    (0, 0): (255, 0, 0),
    (0, 1): (0, 255, 0),
    (1, 0): (0, 0, 255),
    (1, 1): (255, 255, 255),
}
TOLERANCE = 48  # JPEG of flat quarters, chroma subsampled


def quarters_rgb():
    return bytes(
        c for y in range(H) for x in range(W) for c in QUARTERS[(y * 2 // H, x * 2 // W)]
    )


def centres():
    """The centre pixel (y, x) of each quarter and its RGB."""
    for (row, column), rgb in QUARTERS.items():
        yield (row * H // 2 + H // 4, column * W // 2 + W // 4), rgb


def yuv_of(rgb):
    """JFIF (full-range BT.601) Y, Cb, Cr of an RGB colour: what a JPEG decoder gives back."""
    r, g, b = rgb
    y = 0.299 * r + 0.587 * g + 0.114 * b
    return (y, 128 + (b - y) / 1.772, 128 + (r - y) / 1.402)


def close(actual, expected):
    return all(abs(int(a) - e) <= TOLERANCE for a, e in zip(actual, expected))


@pytest.fixture(params=["opengl", "default"])
def renderer(request):
    """The library initialised with ports on OpenGL, or with the installation's default."""
    saved = os.environ.get("QUORIX_CPU_DEWARP")
    if request.param == "opengl":
        os.environ["QUORIX_CPU_DEWARP"] = "0"
    else:
        os.environ.pop("QUORIX_CPU_DEWARP", None)
    quorixsdk.init()
    yield quorixsdk
    quorixsdk.release()
    if saved is None:
        os.environ.pop("QUORIX_CPU_DEWARP", None)
    else:
        os.environ["QUORIX_CPU_DEWARP"] = saved


def shoot(q, pixel_format):
    payload = jpeg_of(quarters_rgb(), W, H)
    shots = Waiter()
    with q.Port() as port:
        port.set_region(0, (0, 0, W, H))
        port.open_stream(q.MODEL_NORMAL)
        port.set_snapshot_callback(0, shots, pixel_format=pixel_format, align=4)
        port.play()
        for n in range(3):
            port.input(record(payload, sequence=n, stamp_ms=1000 + 40 * n, width=W, height=H))
        assert shots.wait(), "no snapshot"
        port.set_snapshot_callback(0, None)
    shot = shots.items[0]
    assert (shot.port, shot.region, shot.width, shot.height) == (port.number, 0, W, H)
    return shot


def yuv_at(shot, y, x, read):
    """Y, U, V at a pixel of a YUV 4:2:0 snapshot (top row first), through read(offset)."""
    luma = shot.stride * shot.height
    chroma_stride = (shot.stride + 1) // 2
    chroma_rows = (shot.height + 1) // 2
    at = (y // 2) * chroma_stride + x // 2
    return (
        read(y * shot.stride + x),
        read(luma + at),
        read(luma + chroma_stride * chroma_rows + at),
    )


@pytest.mark.parametrize(
    "pixel_format,order",
    [(quorixsdk.PIXEL_BGR24, (2, 1, 0)), (quorixsdk.PIXEL_RGB32, (0, 1, 2))],
)
def test_snapshot_arrives_as_a_numpy_array_top_row_first(renderer, pixel_format, order):
    np = pytest.importorskip("numpy")
    q = renderer
    shot = shoot(q, pixel_format)
    assert isinstance(shot.pixels, np.ndarray)
    assert not shot.bottom_up
    if shot.format == q.PIXEL_YUV420P:
        assert shot.pixels.shape == (q._picture_size(shot.stride, H, shot.format),)
        for (y, x), rgb in centres():
            got = yuv_at(shot, y, x, lambda at: int(shot.pixels[at]))
            assert close(got, yuv_of(rgb)), f"({x}, {y}): {got} for {rgb}"
        return
    channels = 3 if pixel_format == q.PIXEL_BGR24 else 4
    assert shot.format == pixel_format
    assert shot.stride == (W * channels + 3) // 4 * 4
    assert shot.pixels.shape == (H, W, channels)
    for (y, x), rgb in centres():
        pixel = shot.pixels[y, x]
        got = tuple(int(pixel[i]) for i in order)
        assert close(got, rgb), f"({x}, {y}): {got} for {rgb}"


def test_snapshot_arrives_as_a_memoryview_without_numpy(renderer, monkeypatch):
    monkeypatch.setattr(quorixsdk, "_np", None)
    shot = shoot(renderer, quorixsdk.PIXEL_BGR24)
    assert isinstance(shot.pixels, memoryview)
    if shot.format == quorixsdk.PIXEL_YUV420P:
        assert not shot.bottom_up
        assert len(shot.pixels) == quorixsdk._picture_size(shot.stride, H, shot.format)
        for (y, x), rgb in centres():
            got = yuv_at(shot, y, x, lambda at: shot.pixels[at])
            assert close(got, yuv_of(rgb)), f"({x}, {y}): {got} for {rgb}"
        return
    assert shot.format == quorixsdk.PIXEL_BGR24
    assert shot.bottom_up, "packed pictures come bottom row first"
    assert len(shot.pixels) == shot.stride * H
    for (y, x), rgb in centres():
        at = (H - 1 - y) * shot.stride + x * 3
        b, g, r = shot.pixels[at : at + 3]
        assert close((r, g, b), rgb), f"({x}, {y}): {(r, g, b)} for {rgb}"


def test_saved_pictures_keep_their_orientation(q, tmp_path):
    np = pytest.importorskip("numpy")
    top_first = np.frombuffer(quarters_rgb(), dtype=np.uint8).reshape(H, W, 3)
    for name, pixels, pixel_format, file_type in [
        ("array.jpg", top_first, q.PIXEL_RGB24, q.FILE_JPEG),
        ("array.bmp", top_first[:, :, ::-1], q.PIXEL_BGR24, q.FILE_BMP),
        ("bytes.bmp", top_first[::-1, :, ::-1].tobytes(), q.PIXEL_BGR24, q.FILE_BMP),
    ]:
        path = tmp_path / name
        q.save_picture(path, pixels, W, H, W * 3, pixel_format, 95, file_type)
        decoded = np.frombuffer(decode_rgb(path), dtype=np.uint8).reshape(H, W, 3)
        for (y, x), rgb in centres():
            assert close(decoded[y, x], rgb), f"{name} ({x}, {y}): {decoded[y, x]} for {rgb}"
