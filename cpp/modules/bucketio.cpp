#include "glue/glue.hpp"

NB_MODULE(bucketio, m) {
    (void) m;
}
