"""Helpers for the functional tests: the proxy runner and the fake daemons it talks to."""
