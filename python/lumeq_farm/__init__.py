"""lumeq-farm: render and encode one output in chunks on a Dask cluster, then join them in order."""
