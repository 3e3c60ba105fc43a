"""End-to-end tests: the built programs under Wine (CTest runs each class on its own)."""
