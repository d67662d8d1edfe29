// Process runtime. (Start-up, base directory and configuration lookup are
// being written; exit is here first because the test assertions need it.)
#include "sc_internal.h"

void sc_sys_exit(int status) { exit(status); }
