// Reads a recording (docs/demo-format.md).
export function readDemo() { return null; }
