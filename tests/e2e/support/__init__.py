"""What the end-to-end tests and the benchmarks share: starting the program
(runner), reading its output (report), /proc (procfs), trees on disk (trees),
what the machine lets a test do (isolation), Wine (wine, pe_image), an
interactive shell (shell), and the replay of a random churn (churn, replay)."""
