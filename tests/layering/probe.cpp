// One header, named at build time by QS_PROBE_HEADER, included the way the
// project's sources include headers. The layering check builds this once per
// probe target: it compiles only where the target it is built for may see
// that header.
#include QS_PROBE_HEADER
