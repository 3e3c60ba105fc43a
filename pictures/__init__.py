"""The README's pictures, made from real runs: python3 -m pictures"""
