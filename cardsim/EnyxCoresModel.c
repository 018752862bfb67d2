/* Stand-in for the card vendor's libenyx-cores-c.so.6. The product is linked
 * against the card's whole library set but calls nothing of this library, so
 * the stand-in only has to exist under that soname for the loader. */
#include <stddef.h>

/* An empty translation unit is not valid C. */
typedef int kest_enyx_cores_model_unused;
