"""The end-to-end tests and what they share with the benchmarks (tests.e2e.support)."""
