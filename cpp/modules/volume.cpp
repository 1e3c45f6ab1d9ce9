#include "glue/glue.hpp"

NB_MODULE(volume, m) {
    (void) m;
}
