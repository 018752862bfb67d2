// The card vendor's hardware library (libenyx-hw-c.so.5), as far as this
// product uses it. The product includes only this header to reach the card;
// building against a vendor install (KEST_CARD_LIBRARY=vendor with the
// vendor's header found) swaps in the vendor's own header here and nowhere
// else.
#pragma once

#if defined(KEST_ENYX_HW_VENDOR_HEADER)
#include KEST_ENYX_HW_VENDOR_HEADER
#else
#include "EnyxHwDeclarations.h"
#endif
