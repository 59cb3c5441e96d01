"""Compiled core of zorp (``zorp_core``)."""
