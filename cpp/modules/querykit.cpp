#include "glue/glue.hpp"

NB_MODULE(querykit, m) {
    (void) m;
}
