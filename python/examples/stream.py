#!/usr/bin/env python3
"""Streams a few frames from the first camera, or from a recording, and prints
each frame's index, arrival time and mean sample.

    PYTHONPATH=build/default/python python3 python/examples/stream.py samples/vcam_box_e2.raw
"""
import sys

import pylox


def main():
    pylox.init("")
    source = sys.argv[1] if len(sys.argv) > 1 else None
    cam = pylox.open_replay(source) if source else pylox.open()
    with cam:
        print("streaming from", cam.product)
        cam.start()
        for _ in range(4):
            got = cam.get_frame()
            if got is None:
                break
            samples, info = got
            print(f"frame {info['frame_idx']:5d}  arrived {info['time_us']} us  "
                  f"mean sample {samples.mean():.1f}  {info['temp0']:.1f} degC")
    pylox.set_hotplug_callback(None)


if __name__ == "__main__":
    main()
