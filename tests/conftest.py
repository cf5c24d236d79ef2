"""Shared fixtures of the whole suite live in the subsystem folders; this file
only makes sure the package under test is the built one."""
