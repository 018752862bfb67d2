"""Quotes and VWAP per contract over many recordings, on a dask.distributed cluster.

    examples/python/dataset_vwap.py "/data/*.kestrec" [--scheduler tcp://host:8786]

Without --scheduler a LocalCluster of two worker processes runs on this machine;
the same code runs unchanged against a cluster whose workers see the same paths.
"""
import argparse

import kest_records
import pandas as pd


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+", help="recordings or glob patterns")
    parser.add_argument("--scheduler", help="address of a dask.distributed scheduler")
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    cluster = None if args.scheduler else LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
    with Client(args.scheduler or cluster):
        ddf = kest_records.dataset(args.paths)
        print(f"{ddf.npartitions} partitions")
        ddf = ddf.assign(value=ddf.last_price * ddf.volume)
        g = ddf.groupby("inst_id").agg({"value": ["size", "sum"], "volume": "sum"}).compute()
        table = pd.DataFrame({"quotes": g[("value", "size")], "vwap": g[("value", "sum")] / g[("volume", "sum")]})
        print(table.sort_index().head(5).to_string(float_format="%.2f"))
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
