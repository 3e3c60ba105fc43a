"""Benchmarks: micro.cpp (the pure routines, natively) and the runs of wine_runs.py."""
