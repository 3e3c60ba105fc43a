"""The tests that run natively, under Wine and on the setup: see tests/e2e and tests/setup."""
