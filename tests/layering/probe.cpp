// A driver-side source that includes one header, named by the build
// (TAL_PROBE_HEADER): compiled as the driver's sources are, it shows which
// headers a driver source can reach.
#include TAL_PROBE_HEADER
