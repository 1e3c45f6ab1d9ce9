#include "glue/glue.hpp"

NB_MODULE(overlap, m) {
    (void) m;
}
