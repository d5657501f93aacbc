"""The notebook merge and diff engines."""
