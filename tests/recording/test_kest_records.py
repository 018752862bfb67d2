"""The Python reader against recordings written by the C++ writer.

Run by CTest with KEST_RECORDING_SAMPLE (the sample writer) and
KEST_PYTHON_DIR (the folder holding kest_records) in the environment."""
import csv
import itertools
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import unittest.mock
import warnings

import numpy as np

sys.path.insert(0, os.environ["KEST_PYTHON_DIR"])
import kest_records  # noqa: E402

COUNT, INDEX = 1000, 123
RECORD = os.environ.get("KEST_RECORD")  # the kest-record tool, for the import round trip
HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "recording", "include", "recording",
                      "Recording.h")


def sample(path, count, *options):
    """The sample writer's recording of `count` entries at path; the fields of entry INDEX in path.json."""
    subprocess.run([os.environ["KEST_RECORDING_SAMPLE"], path, path + ".json", str(count), str(INDEX), *options],
                   check=True)
    return path


def load_warning(path, **kw):
    """load(path, **kw) and the messages of the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = kest_records.load(path, **kw)
    return got, [str(w.message) for w in caught]


def cpp_layout(text, struct):
    """(name, offset, bytes) of each field of a struct of Recording.h, laid out with natural alignment."""
    body = re.search(r"struct " + struct + r" \{(.*?)\n\};", text, re.S).group(1)
    fields, at = [], 0
    for kind, name, count in re.findall(r"^\s*(char|u?int\d+_t) (\w+)(?:\[(\d+)\])?;", body, re.M):
        size = 1 if kind == "char" else int(re.search(r"\d+", kind).group()) // 8
        at = -(-at // size) * size
        fields.append((name, at, size * int(count or 1)))
        at += size * int(count or 1)
    return fields


class KestRecordsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.dir)
        cls.path = sample(os.path.join(cls.dir, "sample.kestrec"), COUNT)
        cls.expected_path = cls.path + ".json"
        cls.expected = json.loads(pathlib.Path(cls.expected_path).read_text())

    def test_header_and_count(self):
        header = kest_records.read_header(self.path)
        self.assertEqual((header["channel"], header["config_crc"], header["version"]),
                         (11, 0x12345678, kest_records.FORMAT_VERSION))
        self.assertEqual(len(kest_records.load(self.path)), COUNT)

    def test_the_layout_constants_are_those_of_the_cpp_header(self):
        text = pathlib.Path(HEADER).read_text()

        def chars(name):
            return "".join(re.findall(r"'(\\0|.)'", re.search(r"k" + name + r"\[\d+\] = \{(.*?)\};", text).group(1))
                           ).replace("\\0", "\0").encode()

        def number(name):
            return int(re.search(r"\b" + name + r"\s*=\s*(\d+)", text).group(1))

        f = kest_records.format
        self.assertEqual((f.MAGIC, f.BLOCK_MAGIC, f.INDEX_MAGIC, f.TRAILER_MAGIC),
                         (chars("Magic"), chars("BlockMagic"), chars("IndexMagic"), chars("TrailerMagic")))
        self.assertEqual((f.FORMAT_VERSION, f.CLOCK_REALTIME, f.CHANNELS, f._CODEC_NONE, f._CODEC_ZSTD),
                         tuple(number(n) for n in ("kFormatVersion", "kClockRealtime", "kChannels", "kCodecNone",
                                                   "kCodecZstd")))
        for struct, dtype in (("FileHeader", f.HEADER_DTYPE), ("BlockHeader", f.BLOCK_DTYPE),
                              ("IndexHeader", f.INDEX_HEADER_DTYPE), ("IndexBlock", f._INDEX_BLOCK_DTYPE),
                              ("Trailer", f.TRAILER_DTYPE)):
            fields = cpp_layout(text, struct)
            self.assertEqual(fields[-1][1] + fields[-1][2], dtype.itemsize, struct)
            want = [(n, o, b) for n, o, b in fields if not n.startswith("reserved")]
            got = sorted(((n, dtype.fields[n][1], dtype.fields[n][0].itemsize) for n in dtype.names),
                         key=lambda t: t[1])
            self.assertEqual(got, want, struct)
        self.assertEqual(f._BLOCK.size, f.BLOCK_DTYPE.itemsize)
        self.assertEqual(f._INDEX_HEADER.size, 28 - f.INDEX_HEADER_DTYPE.fields["crc"][1])

    def test_one_record_field_by_field_as_the_cpp_struct_has_it(self):
        entry = kest_records.load(self.path)[INDEX]
        record = entry["record"]
        self.assertEqual(int(entry["arrival_ns"]), self.expected["arrival_ns"])
        # Each field as the JSON gives it: integers but for these.
        as_json = {"inst_id": lambda v: bytes(v).rstrip(b"\0").decode(), "reverse2": lambda v: [int(x) for x in v],
                   "last_tick_flag": bool}
        for name in kest_records.RECORD_DTYPE.names:
            self.assertEqual(as_json.get(name, int)(record[name]), self.expected[name], name)

    def test_data_frame_in_decimal_prices_and_utc_times(self):
        frame = kest_records.load(self.path, frame=True)
        self.assertEqual(len(frame), COUNT)
        row = frame.iloc[INDEX]
        # Turnover is kept in hundredths of a yuan like the prices (the sample's is no whole yuan); volumes
        # and open interest are lots as they stand.
        self.assertNotEqual(self.expected["turnover"] % 100, 0)
        for column, key, per_unit in (("last_price", "last_px", 100), ("ask3_price", "ask3_px", 100),
                                      ("bid1_price", "bid1_px", 100), ("turnover", "turnover", 100),
                                      ("ask3_volume", "ask3_vol", 1), ("volume", "volume", 1),
                                      ("open_interest", "open_interest", 1)):
            self.assertAlmostEqual(row[column], self.expected[key] / per_unit, msg=column)
        self.assertEqual(row["inst_id"], self.expected["inst_id"])
        self.assertEqual(row["arrival"].value, self.expected["arrival_ns"])
        self.assertEqual(str(row["arrival"].tz), "UTC")
        t = self.expected["update_time"]
        self.assertEqual(row["exchange_time"].total_seconds(),
                         t // 10000 * 3600 + t // 100 % 100 * 60 + t % 100 + self.expected["update_milli_sec"] / 1000)

    def test_select_keeps_the_blocks_that_overlap_the_half_open_window_and_load_keeps_its_arrivals(self):
        b = kest_records.RecordingFile(self.path).blocks
        rec = kest_records.RecordingFile(self.path)
        self.assertEqual(rec.select(b[0].max_ns, b[2].min_ns), [0, 1])
        self.assertEqual(rec.select(b[0].max_ns + 1, b[2].min_ns + 1), [1, 2])
        self.assertEqual(rec.select(b[1].min_ns + 1, b[1].max_ns), [1])
        self.assertEqual(rec.select(to_ns=b[1].min_ns), [0])
        got = kest_records.load(self.path, from_ns=b[0].max_ns, to_ns=b[2].min_ns + 1)["arrival_ns"]
        self.assertEqual((len(got), got[0], got[-1]), (b[1].entries + 2, b[0].max_ns, b[2].min_ns))
        # The sample's first arrival is 2025-12-06T05:46:40Z; a time without a zone is China's (UTC+08:00).
        t0 = self.expected["arrival_ns"] - INDEX * 1000000
        for text in ("2025-12-06T13:46:40.1", "2025-12-06 05:46:40.100Z", "2025-12-06T07:46:40.100000+02:00",
                     str(t0 + 100000000)):
            self.assertEqual(kest_records.parse_time(text), t0 + 100000000, text)
        got = kest_records.load(self.path, from_ns="2025-12-06T13:46:40.100", to_ns="2025-12-06T13:46:40.300")
        self.assertEqual((len(got), got["arrival_ns"][0], got["arrival_ns"][-1]), (200, t0 + 10**8, t0 + 299 * 10**6))
        with self.assertRaisesRegex(ValueError, "wants nanoseconds since the epoch"):
            rec.select("2025-12-06")

    @unittest.skipUnless(RECORD, "KEST_RECORD not set")
    def test_kest_record_slice_holds_what_load_keeps_for_the_same_window(self):
        b = kest_records.RecordingFile(self.path).blocks
        out = os.path.join(self.dir, "slice.kestrec")
        for lo, hi in ((b[0].max_ns, b[2].min_ns), ("2025-12-06T13:46:40.100", "2025-12-06T13:46:40.300")):
            subprocess.run([RECORD, "slice", self.path, "--from", str(lo), "--to", str(hi), "-o", out], check=True,
                           capture_output=True)
            sliced, kept = kest_records.load(out), kest_records.load(self.path, from_ns=lo, to_ns=hi)
            self.assertEqual(len(sliced), len(kept), (lo, hi))
            self.assertTrue((sliced == kept).all(), (lo, hi))

    def test_load_follows_the_rotated_files_by_default(self):
        rotated = sample(os.path.join(self.dir, "rotated.kestrec"), COUNT, "rotate")
        files = kest_records.recording_files(rotated)
        self.assertEqual(files[1:3], [rotated + ".1", rotated + ".2"])
        self.assertTrue((kest_records.load(rotated) == kest_records.load(self.path)).all())
        first = kest_records.load(rotated, follow_rotation=False)
        self.assertTrue(0 < len(first) < COUNT // 2)
        self.assertTrue((first == kest_records.load(self.path)[:len(first)]).all())

    def test_a_closed_file_with_a_damaged_index_reads_whole_with_no_damage(self):
        good = pathlib.Path(self.path).read_bytes()
        index_at = int.from_bytes(good[-16:-8], "little")
        bad = os.path.join(self.dir, "bad_index.kestrec")
        for at in (index_at, index_at + 40):  # its magic, then a contract's name (its CRC then fails)
            pathlib.Path(bad).write_bytes(good[:at] + bytes([good[at] ^ 0x20]) + good[at + 1:])
            rec = kest_records.RecordingFile(bad)
            self.assertFalse(rec.has_index)
            self.assertTrue(rec.index_problem)
            self.assertEqual((rec.entries_count, rec.damages), (COUNT, []))
            got, said = load_warning(bad, on_damage="raise")
            self.assertTrue((got == kest_records.load(self.path)).all())
            self.assertEqual(said, [])

    def test_a_file_cut_mid_entry_loads_its_whole_entries_with_a_warning(self):
        cut = os.path.join(self.dir, "cut.kestrec")
        # The second block cut
        pathlib.Path(cut).write_bytes(pathlib.Path(self.path).read_bytes()[:64 + 2 * 64 + 256 * 160 + 10 * 160 + 33])
        entries, said = load_warning(cut)
        self.assertEqual(len(entries), 256)
        self.assertTrue(any(f"{64 + 10 * 160 + 33} trailing bytes" in m for m in said), said)

    def test_compressed_reads_as_uncompressed_and_damage_is_named_and_skipped(self):
        packed = sample(os.path.join(self.dir, "packed.kestrec"), 5000, "zstd")
        plain = sample(os.path.join(self.dir, "plain.kestrec"), 5000)
        self.assertLess(os.path.getsize(packed), os.path.getsize(plain) / 3)
        expected = kest_records.load(plain)
        self.assertTrue((kest_records.load(packed) == expected).all())
        for path in (plain, packed):
            rec = kest_records.RecordingFile(path)
            self.assertTrue(rec.has_index)
            first, second = rec.blocks[0], rec.blocks[1]
            data = bytearray(pathlib.Path(path).read_bytes())
            data[second.offset + 64 + 100] ^= 0x01  # one bit of the second block's data
            bad = os.path.join(self.dir, "bad.kestrec")
            pathlib.Path(bad).write_bytes(data)
            got, said = load_warning(bad)
            lost = slice(first.entries, first.entries + second.entries)
            self.assertTrue((got == np.delete(expected, lost)).all())
            self.assertTrue(any(f"block 1 at offset {second.offset} ({second.entries} entries) skipped" in m
                                for m in said), said)
            with self.assertRaises(kest_records.DamagedRecording):
                kest_records.load(bad, on_damage="raise")
            runs = kest_records.RecordingFile(bad)
            self.assertTrue((np.concatenate(list(runs.runs())) == np.delete(expected, lost)).all())
            self.assertEqual([(d.block, d.entries) for d in runs.damages], [(1, second.entries)])
            # Without the index (a recorder killed before its close) the blocks are found by their headers.
            pathlib.Path(bad).write_bytes(data[:rec.blocks[-1].offset + 64 + rec.blocks[-1].stored_bytes])
            rec = kest_records.RecordingFile(bad)
            self.assertFalse(rec.has_index)
            self.assertTrue((rec.entries() == np.delete(expected, lost)).all())
            self.assertEqual([(d.block, d.entries) for d in rec.damages], [(1, second.entries)])

    @unittest.skipUnless(kest_records.checks.helper is not None, "the compiled helper is not loaded")
    def test_the_helper_and_the_numpy_path_agree_on_every_damaged_copy(self):
        """The helper reads blocks its own way (preadv into the result, checked there): on copies
        damaged at random (bits of headers, data or index, the file cut anywhere), it must keep
        and report exactly what the numpy path keeps and reports."""
        rng = np.random.default_rng(7)
        damaged = os.path.join(self.dir, "random_damage.kestrec")
        for codec, options in (("none", ()), ("zstd", ("zstd",))):
            source = sample(os.path.join(self.dir, f"random_{codec}.kestrec"), 3000, *options)
            original = pathlib.Path(source).read_bytes()
            for trial in range(40):
                data = bytearray(original)
                for at in rng.integers(64, len(data), size=int(rng.integers(1, 4))):
                    data[at] ^= 1 << int(rng.integers(0, 8))
                if trial % 4 == 3:
                    data = data[:int(rng.integers(64, len(data)))]
                pathlib.Path(damaged).write_bytes(data)
                results = []
                for helper in (kest_records.checks.helper, None):
                    with unittest.mock.patch.object(kest_records.checks, "helper", helper):
                        rec = kest_records.RecordingFile(damaged)
                        entries = rec.entries()
                        again = kest_records.RecordingFile(damaged)
                        runs = list(again.runs())
                    joined = np.concatenate(runs) if runs else entries[:0]
                    self.assertTrue((joined == entries).all(), f"{codec} trial {trial}: runs() and entries() differ")
                    results.append((entries, [(d.block, d.offset, d.entries) for d in rec.damages], rec.untrusted,
                                    [(d.block, d.offset, d.entries) for d in again.damages]))
                (got, *told), (want, damages, untrusted, _) = results
                self.assertEqual((len(got), *told), (len(want), damages, untrusted, damages), f"{codec} trial {trial}")
                self.assertTrue((got == want).all(), f"{codec} trial {trial}")

    @unittest.skipUnless(os.environ.get("KEST_RECORDS_HELPER"), "KEST_RECORDS_HELPER not set")
    def test_the_compiled_helper_is_used_unless_the_numpy_path_is_asked_for(self):
        self.assertEqual(kest_records.checks.helper is not None, os.environ["KEST_RECORDS_HELPER"] == "1")

    @unittest.skipUnless(RECORD, "KEST_RECORD not set")
    def test_import_round_trip_of_the_common_tick_layout(self):
        columns = ("TradingDay,InstrumentID,ExchangeID,ExchangeInstID,LastPrice,PreSettlementPrice,Volume,Turnover,"
                   "OpenInterest,UpdateTime,UpdateMillisec,BidPrice1,BidVolume1,AskPrice1,AskVolume1,BidPrice2,"
                   "BidVolume2,AskPrice2,AskVolume2,ActionDay")
        # The night session of Friday 2026-12-04 trades for Monday 2026-12-07; a third decimal of exactly 5
        # rounds away from zero.
        rows = [
            "20261207,cu2701,SHFE,cu2701,71230.0,71000,12,8547600.505,150321,21:00:00,500,71220,3,71240,5,71210,7,"
            "71250,9,20261204",
            "20261207,sc2702,INE,sc2702,-512.305,510,4,-2049200.005,33001,01:30:02,0,512.2,1,512.4,2,512.1,3,512.5,4,"
            "20261205",
            "20261207,cu2701,SHFE,cu2701,71240.0,71000,15,10684800.245,150330,09:00:01,0,71229.995,1,71250,2,"
            "1.7976931348623157e+308,0,71260,6,20261207",
        ]
        csv_path, rec_path = os.path.join(self.dir, "ticks.csv"), os.path.join(self.dir, "ticks.kestrec")
        pathlib.Path(csv_path).write_text(columns + "\n" + "\n".join(rows) + "\n")
        subprocess.run([RECORD, "import", csv_path, "-o", rec_path], check=True, capture_output=True)
        out = subprocess.run([RECORD, "csv", rec_path], check=True, capture_output=True, text=True).stdout
        got = list(csv.DictReader(out.splitlines()))
        fields = ("trading_date_yyyymmdd inst_id update_time_exchange_hh:mm:ss.mmm type_card_record_type change_no "
                  "last_price_yuan volume_lots turnover_yuan open_interest_lots bid1_price_yuan bid1_volume_lots "
                  "ask1_price_yuan ask1_volume_lots bid2_price_yuan ask2_price_yuan").split()
        self.assertEqual([",".join(row[k] for k in fields) for row in got], [
            "20261207,cu2701,21:00:00.500,0,1,71230.00,12,8547600.51,150321,71220.00,3,71240.00,5,71210.00,71250.00",
            "20261207,sc2702,01:30:02.000,2,1,-512.31,4,-2049200.01,33001,512.20,1,512.40,2,512.10,512.50",
            "20261207,cu2701,09:00:01.000,0,2,71240.00,15,10684800.25,150330,71230.00,1,71250.00,2,0.00,71260.00"])
        # Arrivals on the trading day's clock: Friday 21:00 and Saturday 01:30:02 CST, Monday 09:00:01.
        self.assertEqual([int(r["arrival_ns_since_epoch_utc"]) for r in got],
                         [1796389200500000000, 1796405402000000000, 1796605201000000000])
        # A malformed row is refused with its line number, and nothing is written.
        with open(csv_path, "a") as f:
            f.write(rows[0].replace("71230.0", "71x30") + "\n")
        os.remove(rec_path)
        bad = subprocess.run([RECORD, "import", csv_path, "-o", rec_path], capture_output=True, text=True)
        self.assertEqual(bad.returncode, 1)
        self.assertIn(f"{csv_path}:5: LastPrice '71x30' is not a number", bad.stderr)
        self.assertFalse(os.path.exists(rec_path))

    @unittest.skipUnless(RECORD, "KEST_RECORD not set")
    def test_trading_dates_follow_the_files_exchange_clock_as_kest_record_csv_gives_them(self):
        # Thursday 2025-01-02 17:50 CST on, 1000 times as fast
        sim = sample(os.path.join(self.dir, "sim.kestrec"), 1000, "clock")
        self.assertEqual(kest_records.read_header(sim)["exchange_rate_milli"], 1000000)

        def days(dates):
            """(date, entries) of each run of one date: a wrong date is told at once, not by a diff of 1000 lines."""
            return [(d, len(list(g))) for d, g in itertools.groupby(dates)]
        for path, dates in ((sim, [(20250102, 600), (20250103, 400)]), (self.path, [(20251206, COUNT)])):
            out = subprocess.run([RECORD, "csv", path], check=True, capture_output=True, text=True).stdout
            self.assertEqual(days(int(line.split(",")[1]) for line in out.splitlines()[1:]), dates)
            self.assertEqual(days(kest_records.load(path, frame=True)["trading_date"].tolist()), dates)
        # The evening opens Friday; the night session's stamps on the exchange's calendar.
        self.assertEqual(str(kest_records.load(sim, frame=True)["exchange_stamp"][600]), "2025-01-02 10:00:00+00:00")
        limits = pathlib.Path(os.path.dirname(HEADER), "ExchangeClock.h").read_text()
        for name, value in (("kMaxExchangeRateMilli", kest_records.format.MAX_EXCHANGE_RATE_MILLI),
                            ("kLastExchangeS", kest_records.format.LAST_EXCHANGE_S)):
            self.assertRegex(limits, rf"{name} = {value};")

    def test_not_a_recording_is_refused(self):
        with self.assertRaisesRegex(ValueError, "bad magic"):
            kest_records.load(self.expected_path)

    def test_a_header_that_does_not_describe_the_format_is_refused_with_the_field_named(self):
        good = pathlib.Path(self.path).read_bytes()
        bad = os.path.join(self.dir, "bad.kestrec")
        # The last two, an exchange clock out of range, with their header's CRC-32C made good: refused by name.
        for offset, value, named in ((10, b"\xff\xff", "header_bytes is 65535"), (16, bytes([200]), "channel is 200"),
                                     (24, b"\x07", "clock is 7"), (8, b"\x00", "version is 0"),
                                     (56, (10**7 + 1).to_bytes(4, "little"), "exchange_rate_milli is 10000001"),
                                     (48, (5).to_bytes(8, "little"), "exchange_anchor_ns is 5, not 0")):
            raw = good[:offset] + value + good[offset + len(value):]
            if named.startswith("exchange_"):
                raw = raw[:60] + kest_records.checks._crc32c(raw[:60]).to_bytes(4, "little") + raw[64:]
            pathlib.Path(bad).write_bytes(raw)
            with self.assertRaisesRegex(ValueError, "header does not describe this format: field " + named):
                kest_records.load(bad)


if __name__ == "__main__":
    unittest.main()
