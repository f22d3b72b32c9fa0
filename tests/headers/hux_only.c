/* hux.h alone, with nothing included before it. */
#include "hux.h"

int hux_header_compiles(void);
int hux_header_compiles(void) {
    return HUX_PRODUCT_CODE == 4 && HUX_INVALID_HANDLE + 1 == 0;
}
