"""The setup's own tests, on real apt in a throwaway Debian root: python3 -m tests.setup"""
