"""The Python module on the virtual camera (run under vcam/run): listing,
opening a listed camera, parameters, frames, hot-plug reports of the cameras
on the bus and of a camera that leaves the bus and comes back."""
import os
import queue
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


    def test_hotplug_reports_a_camera_leaving_and_coming_back(self):
        entry = pylox.list_devices()[0]
        where = (entry["bus"], entry["port"])
        events = queue.Queue()
        pylox.set_hotplug_callback(
            lambda e, what: events.put((what, e["bus"], e["port"], e["address"], e)))

        def next_event(what):
            while True:
                got = events.get(timeout=10)
                if got[0] == what and got[1:3] == where:
                    return got

        try:
            self.assertEqual(next_event("arrived")[3], entry["address"])
            with pylox.open(entry) as cam:
                cam.reset(3)  # the camera drops off the bus and comes back
            self.assertEqual(next_event("left")[3], entry["address"])
            back = next_event("arrived")
            self.assertNotEqual(back[3], entry["address"])
        finally:
            pylox.set_hotplug_callback(None)
        # The camera is found and opens at its new address.
        with pylox.open(back[4]) as cam:
            self.assertEqual(cam.product, "PYLOX-E2-VCAM")

    def test_hotplug_callback_may_remove_and_replace_itself(self):
        calls = []
        done = threading.Event()
        second = threading.Event()

        def replace(entry, what):
            calls.append(what)
            pylox.set_hotplug_callback(lambda e, w: second.set())
            done.set()

        pylox.set_hotplug_callback(replace)
        try:
            self.assertTrue(done.wait(10))
            self.assertTrue(second.wait(10))
        finally:
            pylox.set_hotplug_callback(None)
        self.assertEqual(calls, ["arrived"])


if __name__ == "__main__":
    unittest.main()
