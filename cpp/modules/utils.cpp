#include "glue/glue.hpp"

NB_MODULE(utils, m) {
    (void) m;
}
