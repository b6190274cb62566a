"""The Python module on the sample recording: frames as numpy arrays with
arrival times on the host's monotonic clock, distances, gray values and
point clouds against the recorded scene, the driver's features, devices as
context managers, filters against numpy's own window arithmetic, the example
script."""
import os
import subprocess
import sys
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

    # The recording (see README): back wall at 2.4 m, three boxes at 2.025,
    # 1.65 and 1.275 m in rows 60-159, a floor over the lowest third rising
    # to 0.9 m at the bottom row; one reflectivity everywhere.
    REGIONS = {"wall": (np.s_[5:55, 5:315], 2.4),
               "box1": (np.s_[65:155, 25:95], 2.025),
               "box2": (np.s_[65:155, 125:195], 1.65),
               "box3": (np.s_[65:155, 225:295], 1.275)}

    def frame_products(self, settings=()):
        with pylox.open_replay(SAMPLE) as cam:
            cam.start()
            samples, info = cam.get_frame()
            with self.assertRaises(ValueError):
                cam.distance(samples[:100], info)
            dist = cam.distance(samples, info)
            gray = cam.gray(samples, info)
            pts = cam.point_cloud(dist)
            more = []
            for filter_id, value in settings:
                if value is False:
                    cam.disable_filter(filter_id)
                else:
                    cam.enable_filter(filter_id, value)
                more.append(cam.distance(samples, info))
        return dist, gray, pts, more

    def test_distance_and_gray(self):
        dist, gray, pts, _ = self.frame_products()
        self.assertEqual(dist.shape, (240, 320))
        self.assertEqual(gray.shape, (240, 320))
        self.assertEqual(dist.dtype, np.float32)
        for name, (region, truth) in self.REGIONS.items():
            err = np.abs(dist[region] - truth)
            self.assertLess(float(np.median(err)), 0.006, name)
            self.assertLess(float(np.percentile(err, 99)), 0.03, name)
        # The floor comes nearer row by row down to 0.9 m.
        floor = dist[160:240, 105:115].mean(axis=1)
        self.assertTrue(np.all(np.diff(floor) < 0.005))
        self.assertAlmostEqual(float(floor[-1]), 0.9, delta=0.06)
        # Amplitude falls with the square of the distance.
        lit = [float(np.median(gray[r]) * np.median(dist[r]) ** 2) for r, _ in self.REGIONS.values()]
        self.assertLess(max(lit) / min(lit), 1.05, lit)
        # The point cloud: one point per pixel, each at its pixel's distance.
        self.assertEqual(pts.shape, (240 * 320, 3))
        np.testing.assert_allclose(np.linalg.norm(pts, axis=1), dist.ravel(), atol=1e-3)

    def test_driver_features_switch(self):
        dist, _, _, (offset, plain, unfiltered) = self.frame_products(
            ((pylox.FILTER_OFFSET, 100), (pylox.FILTER_OFFSET, False),
             (pylox.FILTER_SPATIAL, False)))
        np.testing.assert_allclose(offset - dist, 0.1, atol=1.5e-3)
        np.testing.assert_array_equal(plain, dist)
        # Without the spatial filters the wall's sample noise shows.
        wall = self.REGIONS["wall"][0]
        self.assertGreater(float(np.std(unfiltered[wall])), 2 * float(np.std(dist[wall])))
        with pylox.open_replay(SAMPLE) as cam:
            for bad in ((pylox.FILTER_SPATIAL, 256), (pylox.FILTER_AMP, -1),
                        (pylox.FILTER_HDR, 1)):
                with self.assertRaises(ValueError):
                    cam.enable_filter(*bad)

    def test_example_script_streams_the_recording(self):
        example = os.path.join(os.path.dirname(__file__), "..", "examples", "stream.py")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        out = subprocess.run([sys.executable, example, SAMPLE], env=env, capture_output=True,
                             text=True, timeout=60, check=True).stdout
        lines = [line for line in out.splitlines() if line.startswith("frame")]
        self.assertEqual(len(lines), FRAMES, out)
        # The middle of the picture is the middle box.
        for line in lines:
            self.assertAlmostEqual(float(line.split("centre")[1].split()[0]), 1.65, delta=0.02)

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
