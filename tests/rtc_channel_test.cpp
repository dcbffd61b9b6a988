// Placeholder: filled in by the change that builds this part.
