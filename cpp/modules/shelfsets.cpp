#include "glue/glue.hpp"

NB_MODULE(shelfsets, m) {
    (void) m;
}
