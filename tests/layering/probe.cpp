// Compiled with one layer's include path: PROBE_HEADER must be found exactly when
// the layering allows that layer to see it.
#include PROBE_HEADER
