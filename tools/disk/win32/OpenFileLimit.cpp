#include "OpenFileLimit.h"

// A Windows process may hold millions of handles: there is no limit to raise.
void raiseOpenFileLimit() {}
