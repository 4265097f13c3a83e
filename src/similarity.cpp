// Filled in by the next change.
