#!/usr/bin/python3
"""An RTSP server on 127.0.0.1 for the network tests: serves elementary streams the test wrote.

Run with Debian's /usr/bin/python3 (python3-gi and GStreamer's RTSP server module):

  rtsp_server.py --check
  rtsp_server.py --video FILE --codec h264|h265 [--audio FILE] [--fps 25] [--port N]
                 [--path /stream] [--user U --password P] [--loop] [--stamps FILE]

--video is an Annex B stream (every key frame carries its parameter sets, so a loop starts
cleanly), --audio raw 8 kHz mono G.711 A-law bytes. The server stamps nothing into the media.
With --stamps it appends one line "frame_number monotonic_ns" per video frame as the frame
leaves for the network, on CLOCK_MONOTONIC (the C++ steady_clock on Linux), so a client can
measure latency on the same clock.

When it listens it prints "ready PORT" on stdout (port 0 asks for a free one), then serves until
killed. Exit code 2: GStreamer's RTSP module is missing (also reported as "missing ..." on stdout).
"""

import argparse
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--check", action="store_true", help="only check for the modules")
    parser.add_argument("--video")
    parser.add_argument("--codec", choices=("h264", "h265"), default="h264")
    parser.add_argument("--audio")
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--path", default="/stream")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--loop", action="store_true")
    parser.add_argument("--stamps")
    args = parser.parse_args()

    try:
        import gi

        gi.require_version("Gst", "1.0")
        gi.require_version("GstRtspServer", "1.0")
        from gi.repository import GLib, Gst, GstRtspServer
    except (ImportError, ValueError) as error:
        print("missing GStreamer RTSP server: %s" % error, flush=True)
        return 2
    Gst.init(None)
    needed = ["multifilesrc", "filesrc", "identity", args.codec + "parse", "rtp%spay" % args.codec]
    if args.audio:
        needed += ["rawaudioparse", "rtppcmapay"]
    absent = [name for name in needed if Gst.ElementFactory.find(name) is None]
    if absent:
        print("missing GStreamer elements: %s" % " ".join(absent), flush=True)
        return 2
    if args.check:
        print("available", flush=True)
        return 0
    if not args.video:
        parser.error("--video is needed")

    # multifilesrc (its location has no number pattern) reads the same file again and again as
    # one continuous byte stream; the parsers stamp by frame rate and sample count, so the stamps
    # keep rising across the loop. filesrc ends the stream at the file's end.
    def source(path, blocksize):
        if args.loop:
            return 'multifilesrc location="%s" loop=true blocksize=%d' % (path, blocksize)
        return 'filesrc location="%s" blocksize=%d' % (path, blocksize)

    video = (
        "%s "
        "! video/x-%s,stream-format=byte-stream,framerate=%d/1 "
        "! %sparse config-interval=-1 "
        "! video/x-%s,alignment=au "
        "! identity name=stamp sync=true signal-handoffs=true "
        "! rtp%spay name=pay0 pt=96 config-interval=-1"
        % (source(args.video, 65536), args.codec, args.fps, args.codec, args.codec, args.codec)
    )
    launch = video
    if args.audio:
        launch += (
            " %s "
            "! rawaudioparse use-sink-caps=false format=alaw sample-rate=8000 num-channels=1 "
            "! rtppcmapay name=pay1 pt=8" % source(args.audio, 320)
        )

    stamps = open(args.stamps, "a", buffering=1) if args.stamps else None

    class Factory(GstRtspServer.RTSPMediaFactory):
        def do_create_element(self, url):
            pipeline = Gst.parse_launch("( %s )" % launch)
            if stamps is not None:
                counter = [0]

                # The identity waits for each frame's time on the pipeline clock, as the network
                # sinks after it do, so its hand-off is when the frame goes out.
                def on_handoff(_element, _buffer):
                    now = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
                    stamps.write("%d %d\n" % (counter[0], now))
                    counter[0] += 1

                pipeline.get_by_name("stamp").connect("handoff", on_handoff)
            return pipeline

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = Factory()
    # Every client gets a pipeline of its own that starts at the first frame.
    factory.set_shared(False)
    if args.user is not None:
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "viewer")
        auth = GstRtspServer.RTSPAuth()
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password or ""), token)
        server.set_auth(auth)
        permissions = GstRtspServer.RTSPPermissions()
        for permission in (
            GstRtspServer.RTSP_PERM_MEDIA_FACTORY_ACCESS,
            GstRtspServer.RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
        ):
            permissions.add_permission_for_role("viewer", permission, True)
        factory.set_permissions(permissions)
    server.get_mount_points().add_factory(args.path, factory)
    if server.attach(None) == 0:
        print("cannot listen on 127.0.0.1:%d" % args.port, flush=True)
        return 1
    print("ready %d" % server.get_bound_port(), flush=True)
    GLib.MainLoop().run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
