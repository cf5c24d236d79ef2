"""Investor-flow engine and its structural contract."""
