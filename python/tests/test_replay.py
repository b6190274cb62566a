"""The Python module on the sample recording: frames as numpy arrays with
arrival times on the host's monotonic clock, devices as context managers,
filters against numpy's own window arithmetic."""
import os
import tempfile
import time
import unittest

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

import pylox

SAMPLE = os.environ.get("PYLOX_SAMPLE", os.path.join(os.path.dirname(__file__), "..", "..",
                                                     "samples", "vcam_box_e2.raw"))
FRAMES = 4


def setUpModule():
    pylox.init(os.path.join(tempfile.gettempdir(), "pylox_python_test.log"))


def now_us():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000


class Replay(unittest.TestCase):
    def test_frames_are_arrays_with_arrival_times(self):
        before = now_us()
        with pylox.open_replay(SAMPLE) as cam:
            self.assertEqual(cam.product, "PYLOX-E2-VCAM")
            cam.start()
            frames = []
            for _ in range(FRAMES):
                got = cam.get_frame()
                self.assertIsNotNone(got)
                frames.append(got)
            after = now_us()
        times = [info["time_us"] for _, info in frames]
        self.assertTrue(all(before <= t <= after for t in times), times)
        self.assertEqual(times, sorted(set(times)))
        for samples, info in frames:
            self.assertEqual(samples.dtype, np.uint16)
            self.assertEqual(samples.size * 2, info["frame_size"])
            self.assertEqual((info["width"], info["height"]), (320, 240))
            self.assertEqual(samples.size, 320 * 240 * 4)
        # Four different frames of one scene.
        self.assertEqual(len({s.tobytes() for s, _ in frames}), FRAMES)

    def test_point_cloud_keeps_valid_pixels(self):
        dist = np.full((240, 320), 1.5, dtype=np.float32)
        dist[:10, :] = 0.0     # no distance
        dist[200:, :50] = 70.0  # out of range
        with pylox.open_replay(SAMPLE) as cam:
            pts = cam.point_cloud(dist, lens=(160.0, 120.0, 200.0, 200.0))
            with self.assertRaises(ValueError):
                cam.point_cloud(np.zeros(5, dtype=np.float32))
        self.assertEqual(pts.shape, (np.count_nonzero((dist > 0) & (dist < 60)), 3))
        self.assertTrue(np.all(np.isfinite(pts)))
        # Every point lies on its pixel's ray at 1.5 m (radially or along z).
        norms = np.linalg.norm(pts, axis=1)
        self.assertTrue(np.allclose(norms, 1.5, atol=1e-3) or np.allclose(pts[:, 2], 1.5, atol=1e-3))

    def test_distance_and_gray(self):
        with pylox.open_replay(SAMPLE) as cam:
            cam.start()
            samples, info = cam.get_frame()
            with self.assertRaises(ValueError):
                cam.distance(samples[:100], info)
            try:
                dist = cam.distance(samples, info)
                gray = cam.gray(samples, info)
            except RuntimeError as e:
                self.skipTest(f"the sensor driver decodes no depth in this build ({e})")
        self.assertEqual(dist.shape, (240, 320))
        self.assertEqual(gray.shape, (240, 320))
        # The recording: a wall at 2 m, a box at 1.2 m in the middle (the
        # recording's camera has no calibration, so only the order is sure).
        wall = float(np.median(dist[5:40, 5:60]))
        box = float(np.median(dist[110:130, 150:170]))
        self.assertGreater(wall, 1.0)
        self.assertLess(box, wall - 0.4)
        self.assertTrue(np.all(np.isfinite(gray)))

    def test_context_manager_closes(self):
        with pylox.open_replay(SAMPLE) as cam:
            self.assertTrue(cam.is_open)
            # The library's default handle serves one device at a time.
            with self.assertRaises(RuntimeError):
                pylox.open_replay(SAMPLE)
        self.assertFalse(cam.is_open)
        with self.assertRaises(RuntimeError):
            cam.start()
        with pylox.open_replay(SAMPLE) as again:
            self.assertTrue(again.is_open)

    def test_failures_raise(self):
        with self.assertRaises(RuntimeError):
            pylox.open_replay("/no/such/file.raw")
        with pylox.open_replay(SAMPLE) as cam:
            with self.assertRaises(ValueError):
                cam.set_param(pylox.PARAM_FRAME_RATE, 1, length=9)


class Filters(unittest.TestCase):
    def setUp(self):
        rng = np.random.default_rng(7)
        self.img = rng.integers(0, 4000, size=(24, 31), dtype=np.uint16)

    def window(self, k):
        r = k // 2
        return sliding_window_view(np.pad(self.img, r, mode="edge"), (k, k))

    def test_medians_match_sorted_windows(self):
        for k, fn in ((3, pylox.filters.median3), (5, pylox.filters.median5)):
            want = np.median(self.window(k).reshape(*self.img.shape, k * k), axis=2)
            np.testing.assert_array_equal(fn(self.img), want.astype(np.uint16))

    def test_gauss3_matches_binomial_kernel(self):
        w = self.window(3).astype(np.uint32)
        kern = np.array([[1, 2, 1], [2, 4, 2], [1, 2, 1]], dtype=np.uint32)
        want = (w * kern).sum(axis=(2, 3)) // 16
        np.testing.assert_array_equal(pylox.filters.gauss3(self.img), want)

    def test_bad_images_raise(self):
        with self.assertRaises(ValueError):
            pylox.filters.median3(np.zeros(10, dtype=np.uint16))


if __name__ == "__main__":
    unittest.main()
