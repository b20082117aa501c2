// Placeholder: filled in by the quedrin tool work.
