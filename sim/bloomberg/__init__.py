"""Stand-ins for closed Bloomberg platform libraries (tests, demos and benchmarks only)."""
