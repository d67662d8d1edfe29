// Placeholder: this module is being written.
#include "sc_internal.h"
