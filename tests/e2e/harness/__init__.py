"""Helpers for the ReginDetector end-to-end tests (Wine prefixes, console runs, transcripts, report logger)."""
