// The chunked gzip CSV read, natively where the file is plain enough to be sure of pandas' answer.
//
// pandas 2 reads each chunk with its C parser and concatenates the chunks. For a plain file (see
// core/plain_csv.hpp) that gives, column by column: int64 when every cell is an integer, float64
// when there are decimals or missing cells, object text (NaN where missing) otherwise, and a
// RangeIndex. This unit builds that frame from the decompressed bytes in one scan and one
// conversion pass, stepping the progress bar once per chunk of `chunksize` rows. Every other file,
// every other pandas, and a replaced `pd` or `gzip` take pandas' own road.
#include "bucketio.hpp"

#include "core/plain_csv.hpp"
#include "glue/arrays.hpp"

#include <cstring>
#include <optional>
#include <string_view>

using namespace nb::literals;
namespace plain_csv = orvane::core::plain_csv;

namespace bucketio {

namespace {

// Bound at load and kept for the life of the process (never released, so nothing is freed after
// the interpreter has gone); the native road stands in only for these.
PyObject *loaded_pandas = nullptr, *loaded_gzip = nullptr;
bool pandas_two = false;

// The whole gzip stream (one member, nothing after it), or nullopt to let gzip report the problem.
std::optional<nb::bytes> inflated(nb::handle body) {
    try {
        nb::object inflater = glue::import("zlib").attr("decompressobj")(31);  // gzip wrapper
        nb::object raw = inflater.attr("decompress")(body);
        if (!glue::truthy(inflater.attr("eof")) || nb::len(nb::object(inflater.attr("unused_data"))) != 0) return std::nullopt;
        return nb::borrow<nb::bytes>(raw);
    } catch (nb::python_error &) {
        return std::nullopt;
    }
}

nb::object text_cell(std::string_view cell, nb::handle missing) {
    if (plain_csv::is_missing(cell)) return nb::borrow(missing);
    PyObject *s = PyUnicode_New((Py_ssize_t) cell.size(), 127);  // ASCII, checked by the scan
    if (!s) throw nb::python_error();
    std::memcpy(PyUnicode_DATA(s), cell.data(), cell.size());
    return nb::steal(s);
}

}  // namespace

void bind_loaded(nb::handle pd, nb::handle gzip) {
    loaded_pandas = nb::borrow(pd).release().ptr();
    loaded_gzip = nb::borrow(gzip).release().ptr();
    pandas_two = glue::to_str(pd.attr("__version__")).rfind("2.", 0) == 0;
}

nb::object read_plain(glue::Call &c, nb::handle body, nb::handle chunksize) {
    nb::object pd = c.global("pd");
    if (!pandas_two || pd.ptr() != loaded_pandas || c.global("gzip").ptr() != loaded_gzip) return {};
    if (!PyLong_CheckExact(chunksize.ptr())) return {};
    const long long rows_per_chunk = PyLong_AsLongLong(chunksize.ptr());
    if (rows_per_chunk < 1) {
        PyErr_Clear();
        return {};
    }
    if (!PyBytes_Check(body.ptr())) return {};
    std::optional<nb::bytes> raw = inflated(body);
    if (!raw) return {};
    const std::string_view text(raw->c_str(), raw->size());

    std::optional<plain_csv::Table> table;
    {
        nb::gil_scoped_release released;
        table = plain_csv::scan(text);
    }
    if (!table) return {};

    const size_t n = table->rows(), width = table->names.size();
    std::vector<std::vector<int64_t>> ints(width);
    std::vector<std::vector<double>> doubles(width);
    std::vector<nb::object> texts(width);
    std::vector<PyObject **> text_slots(width, nullptr);
    nb::object missing = glue::import("numpy").attr("nan");
    for (size_t col = 0; col < width; ++col) {
        switch (table->kinds[col]) {
            case plain_csv::ColumnKind::Int: ints[col].resize(n); break;
            case plain_csv::ColumnKind::Float: doubles[col].resize(n); break;
            case plain_csv::ColumnKind::Text:
                texts[col] = glue::object_array(n, [&](size_t) { return nb::borrow(missing); });
                text_slots[col] = reinterpret_cast<PyObject **>(
                    nb::cast<uintptr_t>(texts[col].attr("__array_interface__")["data"][0]));
                break;
        }
    }

    // One step of the progress bar per chunk, as the chunk reader gives them (no total known).
    const size_t chunks = (n + (size_t) rows_per_chunk - 1) / (size_t) rows_per_chunk;
    nb::object steps = glue::builtin("iter")(glue::builtin("range")(chunks));
    nb::object progress = c.global("tqdm")(steps, "unit"_a = " chunks");
    std::vector<std::string_view> cells;
    size_t next = 0;  // chunks converted so far (a replaced tqdm may yield anything, or stop early)
    auto convert = [&](size_t chunk) {
        const size_t first = chunk * (size_t) rows_per_chunk;
        const size_t last = std::min(n, first + (size_t) rows_per_chunk);
        for (size_t row = first; row < last; ++row) {
            plain_csv::split_row(text, *table, row, cells);
            for (size_t col = 0; col < width; ++col) {
                switch (table->kinds[col]) {
                    case plain_csv::ColumnKind::Int: ints[col][row] = plain_csv::to_int(cells[col]); break;
                    case plain_csv::ColumnKind::Float: doubles[col][row] = plain_csv::to_double(cells[col]); break;
                    case plain_csv::ColumnKind::Text: {
                        PyObject *old = text_slots[col][row];
                        text_slots[col][row] = text_cell(cells[col], missing).release().ptr();
                        Py_DECREF(old);
                        break;
                    }
                }
            }
        }
    };
    for (nb::handle step : progress) {
        (void) step;
        if (next < chunks) convert(next++);
    }
    while (next < chunks) convert(next++);

    nb::dict columns;
    for (size_t col = 0; col < width; ++col) {
        nb::str name(table->names[col].data(), table->names[col].size());
        switch (table->kinds[col]) {
            case plain_csv::ColumnKind::Int: columns[name] = glue::numpy_of(std::move(ints[col])); break;
            case plain_csv::ColumnKind::Float: columns[name] = glue::numpy_of(std::move(doubles[col])); break;
            case plain_csv::ColumnKind::Text: columns[name] = texts[col]; break;
        }
    }
    return pd.attr("DataFrame")(columns);
}

}  // namespace bucketio
