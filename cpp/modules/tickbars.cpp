#include "glue/glue.hpp"

NB_MODULE(tickbars, m) {
    (void) m;
}
