// What S3's errors say, as boto3 and s3fs raise them: whether the service failed (rather than
// refused the request) and whether the bucket itself is at fault.
#include "bucketio.hpp"

#include <initializer_list>

namespace bucketio {

namespace {

// botocore.exceptions.ClientError when botocore has been imported (by anyone), else an invalid handle.
nb::object client_error_class() {
    PyObject *exceptions = PyImport_GetModule(nb::str("botocore.exceptions").ptr());
    if (!exceptions) {
        if (PyErr_Occurred()) throw nb::python_error();
        return {};
    }
    return nb::steal(exceptions).attr("ClientError");
}

// error.response["Error"]["Code"] and error.response["ResponseMetadata"]["HTTPStatusCode"] of a
// ClientError, as far as they are there (invalid handles where not).
struct ServiceAnswer {
    nb::object code, status;
};

ServiceAnswer answer_of(nb::handle error) {
    ServiceAnswer out;
    nb::object response = glue::attr_or(error, "response", nb::none());
    if (!PyDict_Check(response.ptr())) return out;
    auto entry = [&](const char *part, const char *field) -> nb::object {
        PyObject *inner = PyDict_GetItemString(response.ptr(), part);  // borrowed; no error raised
        if (!inner || !PyDict_Check(inner)) return {};
        PyObject *value = PyDict_GetItemString(inner, field);
        return value ? nb::borrow(value) : nb::object();
    };
    out.code = entry("Error", "Code");
    out.status = entry("ResponseMetadata", "HTTPStatusCode");
    return out;
}

bool code_is(const nb::object &code, std::initializer_list<const char *> words) {
    if (!code.is_valid() || !PyUnicode_CheckExact(code.ptr())) return false;
    for (const char *word : words)
        if (PyUnicode_CompareWithASCIIString(code.ptr(), word) == 0) return true;
    return false;
}

}  // namespace

// The service failed or asked to slow down (HTTP 5xx, 429, or a throttling code), rather than
// refused the request: no answer about the object at all.
bool service_failed(nb::handle error) {
    const ServiceAnswer answer = answer_of(error);
    if (code_is(answer.code, {"SlowDown", "Throttling", "RequestLimitExceeded"})) return true;
    if (!answer.status.is_valid() || !PyLong_CheckExact(answer.status.ptr())) return false;
    const long status = PyLong_AsLong(answer.status.ptr());
    if (status == -1 && PyErr_Occurred()) throw nb::python_error();
    return status == 429 || (status >= 500 && status <= 599);
}

// The error says the bucket itself is wrong: S3's NoSuchBucket or InvalidBucketName, raised by
// boto3 or carried as the cause (or context) of the error another library (s3fs) made of it.
bool about_the_bucket(nb::handle error) {
    nb::object client_error = client_error_class();
    if (!client_error.is_valid()) return false;
    nb::handle x = error;
    for (int hops = 0; x.is_valid() && hops < 16; ++hops) {
        const int is_client_error = PyObject_IsInstance(x.ptr(), client_error.ptr());
        if (is_client_error < 0) throw nb::python_error();
        if (is_client_error && code_is(answer_of(x).code, {"NoSuchBucket", "InvalidBucketName"})) return true;
        // The exception the interpreter would show next in the traceback.
        PyObject *next = PyException_GetCause(x.ptr());
        if (!next && !((PyBaseExceptionObject *) x.ptr())->suppress_context) next = PyException_GetContext(x.ptr());
        Py_XDECREF(next);  // kept alive by `x`, which holds it
        x = nb::handle(next);
    }
    return false;
}

}  // namespace bucketio
