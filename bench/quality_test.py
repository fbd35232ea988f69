#!/usr/bin/python3
"""Known answers for bench/quality: no noise, noise at known levels, delays,
a low-passed copy, and the WAV sample formats decoders write."""

import importlib.machinery
import importlib.util
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
QUALITY = os.path.join(HERE, "quality")
_loader = importlib.machinery.SourceFileLoader("quality", QUALITY)
_spec = importlib.util.spec_from_loader("quality", _loader)
quality = importlib.util.module_from_spec(_spec)
_loader.exec_module(quality)

RATE = 44100


def white(seconds, channels, level_db, seed):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((int(seconds * RATE), channels)) * 10.0 ** (level_db / 20.0)


def to_16_bit(x):
    return np.clip(np.round(x * 32768.0), -32768, 32767) / 32768.0


def write_wav(path, x, fmt="s16"):
    channels = x.shape[1]
    if fmt == "s16":
        tag, bits = 1, 16
        data = np.clip(np.round(x * 32768.0), -32768, 32767).astype("<i2").tobytes()
    elif fmt == "s24":
        tag, bits = 1, 24
        v = np.clip(np.round(x * 2.0 ** 23), -2 ** 23, 2 ** 23 - 1).astype("<i4")
        data = v.view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    else:
        tag, bits = 3, 32
        data = x.astype("<f4").tobytes()
    align = channels * bits // 8
    fmt_chunk = struct.pack("<HHIIHH", tag, channels, RATE, RATE * align, align, bits)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt_chunk) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt_chunk)) + fmt_chunk)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def low_pass(x, cut_hz):
    spectrum = np.fft.rfft(x, axis=0)
    freqs = np.fft.rfftfreq(len(x), 1.0 / RATE)
    spectrum[freqs > cut_hz] = 0.0
    return np.fft.irfft(spectrum, len(x), axis=0)


class KnownAnswers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ref = to_16_bit(white(5, 2, -12.0, 1))

    def test_identical_file_has_no_noise(self):
        m = quality.measure(self.ref, self.ref.copy(), RATE)
        self.assertEqual(m["lag"], 0)
        self.assertEqual(m["nmr_db"], float("-inf"))
        self.assertEqual(m["frames_over_mask"], 0.0)
        self.assertEqual(m["seg_snr_db"], quality.SNR_CEIL)
        self.assertGreater(m["bandwidth_hz"], 21500.0)

    def test_noise_level_moves_snr_and_nmr_by_the_same_decibels(self):
        # Noise 30 and 40 dB below a broadband signal: the SNR is those
        # figures, and the NMR, a ratio of powers, moves by the same 10 dB.
        results = {}
        for below_db, seed in ((40.0, 2), (30.0, 3)):
            noise = white(5, 2, -12.0 - below_db, seed)
            results[below_db] = quality.measure(self.ref, self.ref + noise, RATE)
            self.assertAlmostEqual(results[below_db]["seg_snr_db"], below_db, delta=0.3)
            self.assertEqual(results[below_db]["frames_over_mask"], 0.0)
        self.assertAlmostEqual(results[30.0]["nmr_db"] - results[40.0]["nmr_db"], 10.0, delta=0.5)

    def test_noise_as_loud_as_the_signal_is_above_the_mask_everywhere(self):
        m = quality.measure(self.ref, self.ref + white(5, 2, -12.0, 4), RATE)
        self.assertEqual(m["frames_over_mask"], 1.0)
        self.assertAlmostEqual(m["seg_snr_db"], 0.0, delta=0.3)

    def test_delay_is_found_and_trimmed(self):
        noisy = self.ref + white(5, 2, -42.0, 5)
        plain = quality.measure(self.ref, noisy, RATE)
        original = quality.Original(self.ref, RATE)
        cases = [  # (test signal, expected lag)
            (np.concatenate([np.zeros((1234, 2)), noisy, np.zeros((500, 2))]), 1234),
            (noisy[300:], -300),
        ]
        for test, lag in cases:
            with self.subTest(lag=lag):
                m = quality.measure(self.ref, test, RATE)
                self.assertEqual(m["lag"], lag)
                # The original's side worked out once gives the same figures.
                self.assertEqual(quality.measure(self.ref, test, RATE, original=original), m)
                self.assertAlmostEqual(m["nmr_db"], plain["nmr_db"], delta=0.1)
                self.assertAlmostEqual(m["seg_snr_db"], plain["seg_snr_db"], delta=0.1)

    def test_low_passed_copy_has_the_cut_as_bandwidth(self):
        nmr = {}
        for cut in (8000.0, 15000.0, 19000.0):
            with self.subTest(cut=cut):
                m = quality.measure(self.ref, to_16_bit(low_pass(self.ref, cut)), RATE)
                self.assertAlmostEqual(m["bandwidth_hz"], cut, delta=100.0)
                nmr[cut] = m["nmr_db"]
        # The lower the cut, the more audible signal is missing; above the
        # model's top band (18 kHz) nothing but rounding is.
        self.assertGreater(nmr[8000.0], nmr[15000.0] + 10.0)
        self.assertLess(nmr[19000.0], -40.0)


class Program(unittest.TestCase):
    def test_sample_formats_read_alike_and_the_program_reports_json(self):
        ref = to_16_bit(white(3, 1, -12.0, 6))
        with tempfile.TemporaryDirectory() as d:
            paths = {}
            for fmt in ("s16", "s24", "f32"):
                paths[fmt] = os.path.join(d, fmt + ".wav")
                write_wav(paths[fmt], ref, fmt)
            for fmt in ("s24", "f32"):
                with self.subTest(fmt=fmt):
                    out = subprocess.run([QUALITY, "--json", paths["s16"], paths[fmt]],
                                         capture_output=True, text=True, check=True)
                    m = json.loads(out.stdout)
                    self.assertEqual(m["seg_snr_db"], quality.SNR_CEIL)
                    self.assertEqual(m["frames_over_mask"], 0.0)

    def test_unreadable_input_names_the_file(self):
        with tempfile.TemporaryDirectory() as d:
            bad = os.path.join(d, "not-a-wav.wav")
            with open(bad, "wb") as f:
                f.write(b"hello")
            out = subprocess.run([QUALITY, bad, bad], capture_output=True, text=True)
            self.assertEqual(out.returncode, 1)
            self.assertIn("not-a-wav.wav", out.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"] + sys.argv[1:])
