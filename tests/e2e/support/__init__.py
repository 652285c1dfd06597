"""What the end-to-end tests and the benchmarks share."""
