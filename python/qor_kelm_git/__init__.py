"""Merge driver and diff engine for pipeline notebooks."""
