"""The tests: C++ unit tests here, end-to-end tests in e2e/, fuzzers in fuzz/."""
