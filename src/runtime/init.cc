// Placeholder: filled in by the runtime work.
