#!/usr/bin/env python3
"""Streams a few frames from the first camera, or from a recording, and prints
each frame's index, arrival time, the distance in the middle of the picture
and the temperature.

    PYTHONPATH=build/default/python python3 python/examples/stream.py samples/vcam_box_e2.raw
"""
import os
import sys

import numpy as np

import pylox


def main():
    pylox.init(os.devnull)  # the library's log; "" writes pylox_<date>.log here
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
            dist = cam.distance(samples, info)  # metres, height x width
            h, w = dist.shape
            centre = float(np.median(dist[h // 2 - 5:h // 2 + 5, w // 2 - 5:w // 2 + 5]))
            print(f"frame {info['frame_idx']:5d}  arrived {info['time_us']} us  "
                  f"centre {centre:.3f} m  {info['temp0']:.1f} degC")


if __name__ == "__main__":
    main()
