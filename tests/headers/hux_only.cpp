// The same sources compiled as C++.
#include "hux_only.c"
