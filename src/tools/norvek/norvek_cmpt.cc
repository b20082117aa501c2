// Placeholder: filled in by the norvek tool work.
