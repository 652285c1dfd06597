"""Benchmarks of pathwarden against its peers and a floor; run from the top directory: python3 -m bench.run."""
