// What the units of orvane_data.from_s3.bucketio share.
#pragma once

#include "glue/glue.hpp"

namespace bucketio {

// Remember the pandas and gzip modules the module loaded (the native chunked read stands in for
// them only) and whether that pandas is a 2.x release.
void bind_loaded(nb::handle pd, nb::handle gzip);

// The chunked read of the gzip CSV `body` (bytes) done natively, or an invalid object when pandas
// must read it (see bucketio_chunks.cpp).
nb::object read_plain(glue::Call &c, nb::handle body, nb::handle chunksize);

}  // namespace bucketio
