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

// A ClientError whose service failed or asked to slow down (HTTP 5xx, 429, or a throttling code),
// rather than refused the request (bucketio_errors.cpp).
bool service_failed(nb::handle error);
// The error says the bucket itself is wrong (NoSuchBucket, InvalidBucketName), raised by boto3 or
// carried as the cause or context of the error another library (s3fs) made of it.
bool about_the_bucket(nb::handle error);

}  // namespace bucketio
