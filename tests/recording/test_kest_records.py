"""The Python reader against recordings written by the C++ writer.

Run by CTest with KEST_RECORDING_SAMPLE (the sample writer) and
KEST_PYTHON_DIR (the folder holding kest_records) in the environment."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import warnings

sys.path.insert(0, os.environ["KEST_PYTHON_DIR"])
import kest_records  # noqa: E402

COUNT, INDEX = 1000, 123


class KestRecordsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.path = os.path.join(cls.dir, "sample.kestrec")
        cls.expected_path = os.path.join(cls.dir, "sample.json")
        subprocess.run([os.environ["KEST_RECORDING_SAMPLE"], cls.path, cls.expected_path, str(COUNT), str(INDEX)],
                       check=True)
        with open(cls.expected_path) as f:
            cls.expected = json.load(f)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_header_and_count(self):
        header = kest_records.read_header(self.path)
        self.assertEqual(header["channel"], 11)
        self.assertEqual(header["config_crc"], 0x12345678)
        self.assertEqual(header["version"], kest_records.FORMAT_VERSION)
        self.assertEqual(len(kest_records.load(self.path)), COUNT)

    def test_one_record_field_by_field_as_the_cpp_struct_has_it(self):
        entry = kest_records.load(self.path)[INDEX]
        record = entry["record"]
        self.assertEqual(int(entry["arrival_ns"]), self.expected["arrival_ns"])
        for name in kest_records.RECORD_DTYPE.names:
            value = record[name]
            if name == "inst_id":
                value = bytes(value).rstrip(b"\0").decode()
            elif name == "reverse2":
                value = [int(v) for v in value]
            elif name == "last_tick_flag":
                value = bool(value)
            else:
                value = int(value)
            self.assertEqual(value, self.expected[name], name)

    def test_data_frame_in_decimal_prices_and_utc_times(self):
        frame = kest_records.load(self.path, frame=True)
        self.assertEqual(len(frame), COUNT)
        row = frame.iloc[INDEX]
        self.assertAlmostEqual(row["last_price"], self.expected["last_px"] / 100.0)
        self.assertAlmostEqual(row["ask3_price"], self.expected["ask3_px"] / 100.0)
        self.assertEqual(row["ask3_volume"], self.expected["ask3_vol"])
        # Turnover is kept in hundredths of a yuan like the prices; volumes and
        # open interest are lots as they stand.
        self.assertNotEqual(self.expected["turnover"] % 100, 0)
        self.assertAlmostEqual(row["turnover"], self.expected["turnover"] / 100.0)
        self.assertEqual(row["volume"], self.expected["volume"])
        self.assertEqual(row["open_interest"], self.expected["open_interest"])
        self.assertAlmostEqual(row["bid1_price"], self.expected["bid1_px"] / 100.0)
        self.assertEqual(row["inst_id"], self.expected["inst_id"])
        self.assertEqual(row["arrival"].value, self.expected["arrival_ns"])
        self.assertEqual(str(row["arrival"].tz), "UTC")
        t = self.expected["update_time"]
        self.assertEqual(row["exchange_time"].total_seconds(),
                         t // 10000 * 3600 + t // 100 % 100 * 60 + t % 100 + self.expected["update_milli_sec"] / 1000)

    def test_a_file_cut_mid_entry_loads_its_whole_entries_with_a_warning(self):
        cut = os.path.join(self.dir, "cut.kestrec")
        with open(self.path, "rb") as f:
            data = f.read()
        with open(cut, "wb") as f:
            f.write(data[:64 + 10 * 160 + 33])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            entries = kest_records.load(cut)
        self.assertEqual(len(entries), 10)
        self.assertTrue(any("33 trailing bytes" in str(w.message) for w in caught))

    def test_not_a_recording_is_refused(self):
        with self.assertRaisesRegex(ValueError, "bad magic"):
            kest_records.load(self.expected_path)

    def test_a_header_that_does_not_describe_the_format_is_refused_with_the_field_named(self):
        with open(self.path, "rb") as f:
            good = f.read()
        for offset, value, named in ((10, b"\xff\xff", "header_bytes is 65535"), (16, bytes([200]), "channel is 200"),
                                     (24, b"\x07", "clock is 7"), (8, b"\x00", "version is 0")):
            bad = os.path.join(self.dir, "bad.kestrec")
            with open(bad, "wb") as f:
                f.write(good[:offset] + value + good[offset + len(value):])
            with self.assertRaisesRegex(ValueError, "header does not describe this format: field " + named):
                kest_records.load(bad)


if __name__ == "__main__":
    unittest.main()
