// orvane_data.from_s3.bucketio: the package's gateway to S3 object storage. Listing, existence
// tests, reading in seven formats (with a chunked gzip CSV reader), writing, deleting objects and
// folders, and removing local folders.
//
// All of it is orchestration of boto3 and pandas calls; the heavy lifting (transfers, parsing) is
// done by those libraries, so everything stays in the binding file. The S3 client, resource and
// botocore, and the other imported modules, are looked up as module attributes on each call so
// that a replacement assigned to the module is used.
#include "bucketio.hpp"

using namespace nb::literals;

using bucketio::about_the_bucket;
using bucketio::service_failed;

namespace {

using glue::truthy;

constexpr const char *kDefaultPrefix = "tamrix_common_s3";

void say(nb::handle line) { glue::import("builtins").attr("print")(line); }


using glue::assertions_enabled;
using glue::raise_text;
using glue::text_of;
using glue::cat;

bool is(nb::handle text, const char *word) { return PyUnicode_CompareWithASCIIString(text.ptr(), word) == 0; }

const char *kUnsetBucket = "NOT_DEFINED";  // BUCKET when TAMRIX_SANDBOX_BUCKET is not set
bool bucket_unset_at_load = false;          // TAMRIX_SANDBOX_BUCKET was absent when the module loaded

nb::str slash() { return nb::str("/"); }

// prefix + "/" + path, the prefix written as text whatever it is (None gives "None").
nb::str joined_key(nb::handle prefix, nb::handle path) {
    return cat({text_of(prefix), slash(), path});
}

// The path alone when the prefix is None or empty, else prefix + "/" + path.
nb::str optional_prefix_key(nb::handle prefix, nb::handle path) {
    if (prefix.is_none() || PyUnicode_GET_LENGTH(prefix.ptr()) == 0) return nb::borrow<nb::str>(path);
    return cat({prefix, slash(), path});
}

nb::str object_url(nb::handle bucket, nb::handle key) { return cat({nb::str("s3://"), bucket, slash(), key}); }

const char *kListDoc =
    "List the full keys of every object whose key begins with prefix + \"/\" + folder_path.\n"
    "\n"
    "    Pages of up to 10000 keys are followed until the listing is complete; keys come back\n"
    "    in the order the service lists them. A listing that matches nothing returns [].\n";

const char *kExistsDoc =
    "Tell whether an object exists under the key prefix + \"/\" + file_path.\n"
    "\n"
    "    A refused metadata request (missing object, no permission) gives False; a folder-like\n"
    "    prefix that is not itself an object key also gives False.\n";

const char *kReadDoc =
    "Read an object from S3.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    file_path: path of the object below the prefix\n"
    "    data_format: \"pickle\", \"bytesio\", \"csv\", \"csv.gz\", \"xlsx\", \"parquet\" or \"local_file_path\"\n"
    "    bucket, prefix: where the object lives (a None or empty prefix is left out for the\n"
    "        csv, csv.gz, xlsx and parquet formats)\n"
    "    by_chunks: read a gzip-compressed CSV object in chunks (csv and csv.gz only)\n"
    "    chunksize: rows per chunk\n"
    "\n"
    "    Returns a DataFrame, the unpickled object, a BytesIO positioned at 0, or None for\n"
    "    local_file_path (the copy is written to temp/<file_path>).\n";

const char *kChunksDoc =
    "Read a gzip-compressed CSV object in chunks of `chunksize` rows, with a progress bar,\n"
    "    and return all rows as one DataFrame. `key` is the full object key.\n";

const char *kWriteDoc =
    "Write an object to S3 under the key prefix + \"/\" + file_path.\n"
    "\n"
    "    data_format: \"pickle\" (any picklable object), \"bytesio\" (a byte stream, uploaded from\n"
    "        its current position; a BytesIO is always uploaded as raw bytes unless \"pickle\" is\n"
    "        asked), \"csv\" and \"xlsx\" (a DataFrame, written with `index`), \"local_file_path\"\n"
    "        (the name of a local file, as str).\n"
    "\n"
    "    Returns None.\n";

const char *kDeleteObjectDoc =
    "Delete one object; the key is file_path alone when the prefix is None or empty. Returns None.\n";

const char *kDeleteFolderDoc =
    "Delete the folder prefix + \"/\" + folder_path: every object whose key begins with it followed by\n"
    "    \"/\" (\"data/a\" takes data/a/1.csv, never data/ab/2.csv or data/a.csv). Prints what was deleted\n"
    "    and returns None. An empty folder_path, which would name everything under the prefix, raises\n"
    "    ValueError before anything is deleted.\n";

const char *kDeleteLocalDoc =
    "Remove a local directory tree with `rm -r` and print its output, errors and return code.\n"
    "    Returns None.\n";

}  // namespace

// A function that talks to S3. When S3 says the bucket does not exist (or cannot be a bucket's name)
// and the bucket is the default of an unset TAMRIX_SANDBOX_BUCKET, the error (from boto3, botocore
// or s3fs, type and message unchanged) gets a note naming the variable. Every other error passes as
// it was raised.
static void def_s3(nb::module_ &m, glue::Signature signature, const char *doc, glue::Impl impl) {
    const size_t bucket_at = signature.at("bucket");
    glue::def(m, signature, doc, [impl = std::move(impl), bucket_at](glue::Call &c) -> nb::object {
        try {
            return impl(c);
        } catch (nb::python_error &e) {
            nb::handle bucket = c[bucket_at];
            if (bucket_unset_at_load && PyUnicode_CheckExact(bucket.ptr()) && is(bucket, kUnsetBucket) &&
                about_the_bucket(e.value()))
                glue::add_note(e,
                               "The bucket is 'NOT_DEFINED': TAMRIX_SANDBOX_BUCKET was not set when "
                               "orvane_data.from_s3.bucketio was imported. Set TAMRIX_SANDBOX_BUCKET before "
                               "importing it, or pass bucket=... to the call.");
            throw;
        }
    });
}

namespace {

// ---- the module's functions, as the interpreter calls them ------------------------------

constexpr glue::Signature kListS3Objects =
    "list_s3_objects(folder_path: str, bucket: str = BUCKET, prefix: Optional[str] = PREFIX) -> List[str]";

nb::object call_list_s3_objects(glue::Call &c) {
    nb::str key_prefix = joined_key(c[kListS3Objects["prefix"]], c[kListS3Objects["folder_path"]]);
    nb::object client = c.global("s3_client");
    nb::list keys;
    nb::dict extra;
    nb::str contents("Contents");
    while (true) {
        nb::dict kw;
        kw["Bucket"] = c[kListS3Objects["bucket"]];
        kw["Prefix"] = key_prefix;
        kw["MaxKeys"] = nb::int_(10000);
        kw.update(extra);
        nb::object page = client.attr("list_objects_v2")(**kw);
        const int has = PySequence_Contains(page.ptr(), contents.ptr());
        if (has < 0) throw nb::python_error();
        if (has == 1)
            for (nb::handle entry : page[contents]) keys.append(entry["Key"]);
        if (!truthy(page["IsTruncated"])) return keys;
        extra["ContinuationToken"] = page["NextContinuationToken"];
    }
}

constexpr glue::Signature kS3PathExists =
    "s3_path_exists(file_path: str, bucket: str = BUCKET, prefix: Optional[str] = PREFIX) -> bool";

nb::object call_s3_path_exists(glue::Call &c) {
    nb::str key = joined_key(c[kS3PathExists["prefix"]], c[kS3PathExists["file_path"]]);
    nb::object client = c.global("s3_client");
    try {
        client.attr("head_object")("Bucket"_a = c[kS3PathExists["bucket"]], "Key"_a = key);
    } catch (nb::python_error &e) {
        // A refusal (missing object, no permission) answers the question: False. A failing
        // or throttled service has not answered it, so its error reaches the caller.
        nb::object client_error = c.global("botocore").attr("exceptions").attr("ClientError");
        if (e.matches(client_error) && !service_failed(e.value())) return nb::bool_(false);
        throw;
    }
    return nb::bool_(true);
}

constexpr glue::Signature kReadFromS3 =
    "read_from_s3(file_path: str, data_format: str, bucket: str = BUCKET, prefix: Optional[str] = PREFIX, "
        "by_chunks: bool = False, chunksize: int = 100000) -> Optional[pd.DataFrame]";

nb::object call_read_from_s3(glue::Call &c) {
    nb::handle path = c[kReadFromS3["file_path"]];
    nb::handle fmt = c[kReadFromS3["data_format"]];
    nb::handle bucket = c[kReadFromS3["bucket"]];
    nb::handle prefix = c[kReadFromS3["prefix"]];
    const bool as_pickle = is(fmt, "pickle");
    if (as_pickle || is(fmt, "bytesio")) {
        nb::str key = joined_key(prefix, path);
        nb::object buffer = c.global("BytesIO")();
        c.global("s3_client").attr("download_fileobj")(bucket, key, buffer);
        buffer.attr("seek")(0);
        if (!as_pickle) return buffer;
        return c.global("pickle").attr("load")(buffer);
    }
    if (is(fmt, "csv") || is(fmt, "csv.gz")) {
        nb::str key = optional_prefix_key(prefix, path);
        if (truthy(c[kReadFromS3["by_chunks"]]))
            return c.global("read_by_chunks")("bucket"_a = bucket, "key"_a = key,
                                              "chunksize"_a = c[kReadFromS3["chunksize"]]);
        return c.global("pd").attr("read_csv")(object_url(bucket, key));
    }
    if (is(fmt, "xlsx"))
        return c.global("pd").attr("read_excel")(object_url(bucket, optional_prefix_key(prefix, path)));
    if (is(fmt, "parquet"))
        return c.global("pd").attr("read_parquet")(object_url(bucket, optional_prefix_key(prefix, path)));
    if (is(fmt, "local_file_path")) {
        nb::str key = joined_key(prefix, path);
        nb::object dir = path.attr("rpartition")("/")[0];  // everything before the last "/"
        nb::str temp("temp/");
        // The copy stays inside temp/: a path that climbs out ("../x", a symlink) is refused
        // before any folder or file is written.
        nb::object Path = c.global("Path");
        nb::object target = Path(cat({temp, path})).attr("resolve")();
        if (!truthy(target.attr("is_relative_to")(Path(temp).attr("resolve")())))
            raise_text(PyExc_ValueError, cat({nb::str("local copy of '"), path,
                                              nb::str("' would be written outside temp/: "),
                                              nb::str(target)}));
        c.global("Path")(cat({temp, dir})).attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
        c.global("s3_resource").attr("Object")(bucket, key).attr("download_file")(cat({temp, path}));
        return nb::none();
    }
    raise_text(PyExc_ValueError,
               cat({nb::str("data_format=\""), fmt,
                    nb::str("\" is not valid. Only (\"pickle\", \"csv\", \"csv.gz\", \"xlsx\") are allowed.")}));
}

constexpr glue::Signature kReadByChunks =
    "read_by_chunks(bucket: str = BUCKET, key: str = '', chunksize: int = 100000) -> pd.DataFrame";

nb::object call_read_by_chunks(glue::Call &c) {
    nb::handle bucket = c[kReadByChunks["bucket"]], key = c[kReadByChunks["key"]];
    nb::object response = c.global("s3_client").attr("get_object")("Bucket"_a = bucket, "Key"_a = key);
    nb::object body = response["Body"].attr("read")();
    response = nb::object();
    if (nb::object frame = bucketio::read_plain(c, body, c[kReadByChunks["chunksize"]]); frame.is_valid())
        return frame;
    nb::object buffer = c.global("BytesIO")(body);
    body = nb::object();
    nb::object gz_file = c.global("gzip").attr("open")(buffer, "rb");
    try {
        nb::object pd = c.global("pd");
        nb::handle chunksize = c[kReadByChunks["chunksize"]];
        nb::object reader = pd.attr("read_csv")(gz_file, "chunksize"_a = chunksize, "iterator"_a = true);
        nb::dict options = glue::tqdm_options_from_env();
        options["unit"] = " chunks";
        nb::object progress = c.global("tqdm")(reader, **options);
        nb::list chunks;
        for (nb::handle chunk : progress) chunks.append(chunk);
        nb::object out = pd.attr("concat")(chunks);
        gz_file.attr("close")();
        return out;
    } catch (nb::python_error &failure) {
        // Close the stream, then report the failure; as a `with` block does, a failure to
        // close wins and carries the first one as its context.
        try {
            gz_file.attr("close")();
        } catch (nb::python_error &close_failure) {
            PyException_SetContext(close_failure.value().ptr(), failure.value().inc_ref().ptr());
            throw;
        }
        throw;
    } catch (...) {
        gz_file.attr("close")();
        throw;
    }
}

constexpr glue::Signature kWriteToS3 =
    "write_to_s3(data: Any, file_path: str, data_format: str, index=True, bucket: str = BUCKET, "
        "prefix: Optional[str] = PREFIX)";

nb::object call_write_to_s3(glue::Call &c) {
    nb::handle data = c[kWriteToS3["data"]];
    nb::handle path = c[kWriteToS3["file_path"]];
    nb::handle fmt = c[kWriteToS3["data_format"]];
    nb::handle index = c[kWriteToS3["index"]];
    nb::handle bucket = c[kWriteToS3["bucket"]];
    nb::handle prefix = c[kWriteToS3["prefix"]];
    nb::str key = joined_key(prefix, path);
    if (is(fmt, "pickle")) {
        nb::object buffer = c.global("BytesIO")(c.global("pickle").attr("dumps")(data));
        c.global("s3_client").attr("upload_fileobj")(buffer, bucket, key);
        return nb::none();
    }
    if (is(fmt, "bytesio") || nb::handle((PyObject *) Py_TYPE(data.ptr())).is(c.global("BytesIO"))) {
        c.global("s3_client").attr("upload_fileobj")(data, bucket, key);
        return nb::none();
    }
    const bool csv = is(fmt, "csv");
    if (csv || is(fmt, "xlsx")) {
        data.attr(csv ? "to_csv" : "to_excel")(object_url(bucket, key), "index"_a = index);
        return nb::none();
    }
    if (is(fmt, "local_file_path")) {
        if (assertions_enabled() && !PyUnicode_CheckExact(data.ptr()))
            glue::raise(PyExc_AssertionError,
                        "`data` must be passed in as a string for `local_file_path`.");
        c.global("s3_resource").attr("Object")(bucket, key).attr("upload_file")(data);
        return nb::none();
    }
    raise_text(PyExc_ValueError,
               cat({nb::str("data_format=\""), fmt,
                    nb::str("\" is not valid. Only (\"pickle\", \"bytesio\", \"csv\", \"xlsx\") are allowed.")}));
}

constexpr glue::Signature kDeleteS3Object =
    "delete_s3_object(file_path: str, bucket: str = BUCKET, prefix: Optional[str] = PREFIX)";

nb::object call_delete_s3_object(glue::Call &c) {
    nb::handle file_path = c[kDeleteS3Object["file_path"]], bucket = c[kDeleteS3Object["bucket"]];
    nb::str key = optional_prefix_key(c[kDeleteS3Object["prefix"]], file_path);
    c.global("s3_client").attr("delete_object")("Bucket"_a = bucket, "Key"_a = key);
    return nb::none();
}

constexpr glue::Signature kDeleteS3Folder =
    "delete_s3_folder(folder_path: str, bucket: str = BUCKET, prefix: Optional[str] = PREFIX)";

nb::object call_delete_s3_folder(glue::Call &c) {
    nb::handle folder_path = c[kDeleteS3Folder["folder_path"]], bucket = c[kDeleteS3Folder["bucket"]];
    if (nb::len(folder_path) == 0)
        glue::raise(PyExc_ValueError, "folder_path is empty: that would delete every object under the "
                                      "prefix, so nothing was deleted");
    nb::str key_prefix = joined_key(c[kDeleteS3Folder["prefix"]], folder_path);
    // Only the folder's own objects: "data/a" must not take "data/ab/..." or "data/a.csv"
    // with it, so a folder named without its trailing "/" gets one for the deletion.
    nb::str folder = key_prefix;
    if (!truthy(key_prefix.attr("endswith")("/"))) folder = cat({key_prefix, slash()});
    nb::object handle = c.global("s3_resource").attr("Bucket")(bucket);
    handle.attr("objects").attr("filter")("Prefix"_a = folder).attr("delete")();
    say(cat({nb::str("s3://"), bucket, slash(), key_prefix, nb::str(" was deleted.")}));
    return nb::none();
}

constexpr glue::Signature kDeleteLocalFolder =
    "delete_local_folder(folder_path: str)";

// The path goes after "--" so that one beginning with "-" is never taken for an option, and the
// captured output is decoded leniently so that non-ASCII output cannot fail the call after the
// removal has already run.
nb::object call_delete_local_folder(glue::Call &c) {
    nb::object subprocess = c.global("subprocess");
    nb::list argv;
    argv.append("rm");
    argv.append("-r");
    argv.append("--");
    argv.append(c[kDeleteLocalFolder["folder_path"]]);
    nb::object pipe = subprocess.attr("PIPE");
    nb::object proc = subprocess.attr("Popen")(argv, "stdout"_a = pipe, "stderr"_a = pipe);
    nb::object streams = proc.attr("communicate")();
    nb::object out = streams[0].attr("decode")("ascii", "errors"_a = "replace");
    nb::object err = streams[1].attr("decode")("ascii", "errors"_a = "replace");
    say(cat({nb::str("Output: "), out}));
    say(cat({nb::str("Error: "), err}));
    say(cat({nb::str("code: "), text_of(proc.attr("returncode"))}));
    return nb::none();
}

}  // namespace

ORVANE_MODULE(bucketio, m) {
    // Libraries that must be present.
    m.attr("os") = glue::import("os");
    m.attr("Path") = glue::import("pathlib").attr("Path");
    m.attr("warnings") = glue::import("warnings");
    m.attr("pickle") = glue::import("pickle");
    m.attr("gzip") = glue::import("gzip");
    m.attr("subprocess") = glue::import("subprocess");
    {
        nb::object typing = glue::import("typing");
        m.attr("Any") = typing.attr("Any");
        m.attr("List") = typing.attr("List");
        m.attr("Optional") = typing.attr("Optional");
    }
    m.attr("BytesIO") = glue::import("io").attr("BytesIO");
    m.attr("pd") = glue::import("pandas");
    m.attr("tqdm") = glue::import("tqdm").attr("tqdm");
    bucketio::bind_loaded(m.attr("pd"), m.attr("gzip"));

    const bool show_warnings = glue::show_warnings_from_env();
    m.attr("SHOW_WARNINGS") = nb::bool_(show_warnings);

    glue::guarded_import(glue::Absorb::ModuleNotFound, show_warnings, "'boto3' is not installed.", [&] {
        nb::object boto3 = glue::import("boto3");
        m.attr("boto3") = boto3;
        m.attr("s3_client") = boto3.attr("client")("s3");
        m.attr("s3_resource") = boto3.attr("resource")("s3");
    });

    glue::guarded_import(glue::Absorb::ModuleNotFound, show_warnings, "'botocore' is not installed.", [&] {
        m.attr("botocore") = glue::import("botocore");
        // Make botocore.exceptions reachable as an attribute even if nothing else imported it yet.
        glue::import("botocore.exceptions");
    });

    // Read through os.environ so any value (undecodable bytes included) comes back as the interpreter sees it.
    bucket_unset_at_load = !glue::contains(m.attr("os").attr("environ"), nb::str("TAMRIX_SANDBOX_BUCKET"));
    m.attr("BUCKET") = m.attr("os").attr("environ").attr("get")("TAMRIX_SANDBOX_BUCKET", kUnsetBucket);
    m.attr("PREFIX") = nb::str(kDefaultPrefix);

    def_s3(m, kListS3Objects, kListDoc, call_list_s3_objects);
    def_s3(m, kS3PathExists, kExistsDoc, call_s3_path_exists);
    def_s3(m, kReadFromS3, kReadDoc, call_read_from_s3);
    def_s3(m, kReadByChunks, kChunksDoc, call_read_by_chunks);
    def_s3(m, kWriteToS3, kWriteDoc, call_write_to_s3);
    def_s3(m, kDeleteS3Object, kDeleteObjectDoc, call_delete_s3_object);
    def_s3(m, kDeleteS3Folder, kDeleteFolderDoc, call_delete_s3_folder);

    glue::def(m, kDeleteLocalFolder, kDeleteLocalDoc, call_delete_local_folder);
}
