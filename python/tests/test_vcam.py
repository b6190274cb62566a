"""The Python module on the virtual camera (run under vcam/run): listing,
opening a listed camera, parameters, frames, hot-plug reports."""
import os
import tempfile
import threading
import time
import unittest

import numpy as np

import pylox


def setUpModule():
    pylox.init(os.path.join(tempfile.gettempdir(), "pylox_python_vcam.log"))


class Camera(unittest.TestCase):
    def test_list_open_parameters_frames(self):
        found = pylox.list_devices()
        self.assertGreaterEqual(len(found), 1)
        with pylox.open(found[0]) as cam:
            cam.set_param(pylox.PARAM_FRAME_RATE, 30)
            self.assertEqual(cam.get_param(pylox.PARAM_FRAME_RATE), 30)
            cam.start()
            samples, info = cam.get_frame()
            cam.stop()
        self.assertEqual(samples.dtype, np.uint16)
        self.assertEqual(samples.size, 320 * 240 * 4)
        self.assertGreater(info["time_us"], 0)
        self.assertLessEqual(info["time_us"], time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000)

    def test_hotplug_reports_cameras_on_the_bus(self):
        found = pylox.list_devices()
        seen = []
        arrived = threading.Event()

        def on_plug(entry, what):
            seen.append((entry["bus"], entry["port"], what))
            if len(seen) >= len(found):
                arrived.set()

        pylox.set_hotplug_callback(on_plug)
        try:
            self.assertTrue(arrived.wait(10))
        finally:
            pylox.set_hotplug_callback(None)
        self.assertEqual(sorted(seen), sorted((e["bus"], e["port"], "arrived") for e in found))


if __name__ == "__main__":
    unittest.main()
