#include "glue/glue.hpp"

NB_MODULE(api, m) {
    (void) m;
}
