"""Peers of tovren._libs.properties for the benchmarks (see _lib/peers.py)."""
