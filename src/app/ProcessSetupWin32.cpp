#include "ProcessSetup.h"

// Nothing to prepare on Windows: there is no SIGPIPE (a write to a closed pipe
// or socket returns an error), the C runtime keeps descriptors 0 to 2 reserved
// even when the process was given no standard handles, and sockets are not
// counted against its descriptor limit.
void PrepareProcess() {}
