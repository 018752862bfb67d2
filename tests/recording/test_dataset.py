"""kest_records.dataset on a dask.distributed cluster against pandas on the same files:
per-contract quote counts and VWAP over eight recordings (some compressed), partitioned
per file and per block range.

Run by CTest with KEST_RECORDING_SAMPLE and KEST_PYTHON_DIR in the environment."""
import os
import subprocess
import sys
import tempfile
import unittest

import pandas as pd

sys.path.insert(0, os.environ["KEST_PYTHON_DIR"])
import kest_records  # noqa: E402


def per_contract(frame):
    """Quotes and VWAP of each contract, the same expression on a pandas or a dask frame."""
    frame = frame.assign(value=frame["last_price"] * frame["volume"])
    g = frame.groupby("inst_id").agg(quotes=("value", "size"), value=("value", "sum"), volume=("volume", "sum"))
    return g.assign(vwap=g["value"] / g["volume"])


class DatasetTest(unittest.TestCase):
    def test_counts_and_vwap_on_a_two_worker_cluster_equal_pandas(self):
        from dask.distributed import Client, LocalCluster

        with tempfile.TemporaryDirectory() as work:
            paths = [os.path.join(work, f"day{i}.kestrec") for i in range(8)]
            for i, path in enumerate(paths):
                args = [os.environ["KEST_RECORDING_SAMPLE"], path, path + ".json", str(700 * (i + 1) + 13), "0"]
                subprocess.run(args + (["zstd"] if i % 2 else []), check=True)
            expected = per_contract(pd.concat([kest_records.load(p, frame=True) for p in paths]))
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                    Client(cluster):
                per_file = kest_records.dataset(os.path.join(work, "day*.kestrec"))
                per_blocks = kest_records.dataset(paths, blocks_per_partition=4)
                self.assertEqual(per_file.npartitions, 8)
                self.assertGreater(per_blocks.npartitions, 8)
                for ddf in (per_file, per_blocks):
                    got = per_contract(ddf).compute().sort_index()
                    pd.testing.assert_series_equal(got["quotes"], expected["quotes"].sort_index(), check_names=False,
                                                   check_dtype=False)
                    pd.testing.assert_series_equal(got["vwap"], expected["vwap"].sort_index(), check_names=False,
                                                   rtol=1e-12)


if __name__ == "__main__":
    unittest.main()
