#!/usr/bin/env python3
"""The soak's growth judgement (scripts/soak fit_slope) on figures shaped like
a real run's: a leak must read as growth, a one-time step or a restart must
not. Runs the script's own function; no shop is started."""
import importlib.machinery
import importlib.util
import os
import random
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load_soak():
    loader = importlib.machinery.SourceFileLoader("soak", os.path.join(ROOT, "scripts", "soak"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("soak", loader))
    loader.exec_module(module)
    return module


soak = load_soak()
HOUR = 3600
EVERY = 3  # seconds between samples, as the soak samples


def life(shape, seg=1, start=0, end=HOUR):
    return [(seg, t, shape(t)) for t in range(start, end, EVERY)]


class GrowthJudgement(unittest.TestCase):
    def setUp(self):
        self.noise = random.Random(7)

    def test_a_descriptor_leaked_per_sale_reads_as_its_rate(self):
        slope, span = soak.fit_slope(life(lambda t: 20 + t // 9), 300)
        self.assertAlmostEqual(slope, 400, delta=10)
        self.assertGreater(span, 59 * 60)

    def test_one_thread_started_half_way_is_not_growth(self):
        # The agent starts a thread once, for a driver it brought back itself.
        points = life(lambda t: 10 + (t > HOUR / 2) + self.noise.choice((0, 0, 0, 1, -1)))
        slope, _ = soak.fit_slope(points, 300)
        self.assertLessEqual(slope, soak.BOUNDS["threads"])

    def test_two_steps_in_a_life_are_not_growth_but_a_thread_per_reconnect_is(self):
        two = life(lambda t: 10 + (t > 1000) + (t > 2500))
        self.assertLessEqual(soak.fit_slope(two, 300)[0], soak.BOUNDS["threads"])
        # A reconnect every four minutes, each leaving a thread behind.
        leak = life(lambda t: 10 + t // 240)
        self.assertGreater(soak.fit_slope(leak, 300)[0], soak.BOUNDS["threads"])

    def test_slow_memory_growth_under_noise_is_seen(self):
        rate = 2 * soak.BOUNDS["private_agent"]
        points = life(lambda t: 8 + rate * t / HOUR + self.noise.gauss(0, 0.3))
        slope, _ = soak.fit_slope(points, 300)
        self.assertGreater(slope, soak.BOUNDS["private_agent"])
        self.assertAlmostEqual(slope, rate, delta=rate / 3)

    def test_a_restart_at_another_level_adds_no_growth(self):
        # Three lives of the agent, each flat, each starting higher or lower.
        points = life(lambda t: 20, 1, 0, 1200) + life(lambda t: 35, 2, 1200, 2400) + life(lambda t: 12, 3, 2400, HOUR)
        slope, span = soak.fit_slope(points, 300)
        self.assertEqual(slope, 0)
        self.assertGreater(span, 55 * 60)

    def test_too_few_samples_give_no_slope(self):
        self.assertEqual(soak.fit_slope([(1, 0, 5), (1, 3, 9)], 300), (None, 0.0))


if __name__ == "__main__":
    sys.exit(unittest.main())
