#include "glue/glue.hpp"

NB_MODULE(strategy, m) {
    (void) m;
}
