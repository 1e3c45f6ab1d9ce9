// The chunked reader's text columns: pandas 3's `str` (pyarrow large_string) built in pieces of
// rows, each piece filled by one worker, and object columns of str whose cells are numbered by
// each worker's own table of distinct texts.
#pragma once

#include "bucketio.hpp"

#include "core/cells.hpp"
#include "core/distinct_texts.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace bucketio {

// How read_csv gives a text column in the running pandas.
struct TextForm {
    bool arrow = false;  // false: an object array of str, NaN where missing
    nb::object dtype;    // arrow: StringDtype(storage="pyarrow", na_value=nan), pandas' `str`
};

// Rows [first, first + rows) of a text column as pyarrow's large_string layout: offsets, the
// bytes, and a validity bitmap.
class ArrowPiece {
public:
    // `most`: an upper bound of the bytes (the rows' text), allocated once.
    ArrowPiece(size_t first, size_t rows, size_t most);
    // Row `row` of the file (rows come in order); false for a missing cell. A short cell is copied
    // as one 16-byte block when 16 bytes from its start are readable (before `readable_end`).
    bool add(size_t row, std::string_view cell, const char *readable_end) {
        const size_t i = row - first_;
        if (orvane::core::cells::is_na_word(cell)) {
            valid_[i / 8] &= uint8_t(~(1u << (i % 8)));
            ++missing_;
            offsets_[i + 1] = (int64_t) used_;
            return false;
        }
        uint8_t *to = bytes_.get() + used_;
        if (cell.size() <= kBlock && cell.data() + kBlock <= readable_end) std::memcpy(to, cell.data(), kBlock);
        else std::memcpy(to, cell.data(), cell.size());
        used_ += cell.size();
        offsets_[i + 1] = (int64_t) used_;
        return true;
    }
    bool present(size_t row) const {
        const size_t i = row - first_;
        return valid_[i / 8] >> (i % 8) & 1;
    }
    std::string_view cell(size_t row) const {
        const size_t i = row - first_;
        return {reinterpret_cast<const char *>(bytes_.get()) + offsets_[i], size_t(offsets_[i + 1] - offsets_[i])};
    }
    size_t first() const { return first_; }
    size_t rows() const { return offsets_.size() - 1; }
    // pa.LargeStringArray.from_buffers over the piece's buffers, which it takes (no copy).
    nb::object take_array(nb::handle pa);

private:
    static constexpr size_t kBlock = 16;  // the room has this many spare bytes at its end
    struct Free {
        void operator()(uint8_t *p) const noexcept { std::free(p); }
    };
    size_t first_;
    std::vector<int64_t> offsets_;          // rows + 1
    std::unique_ptr<uint8_t, Free> bytes_;  // `used_` of them written
    size_t used_ = 0;
    std::vector<uint8_t> valid_;            // bit i clear: row first + i is missing
    size_t missing_ = 0;
};

// A text column as pieces in row order.
struct ArrowText {
    std::vector<ArrowPiece> pieces;
    bool chunk_all_missing = false;  // some chunk has no value in this column

    // The column as pandas' `str` array over a ChunkedArray of the pieces (no copy of the bytes).
    nb::object strings(const TextForm &form, int pandas_major);
    // The same cells as the object column concatenating a float64 chunk gives: str, NaN where missing.
    nb::object objects(size_t n);
};

// An object text column being filled: the numpy array's slots, the codes of the chunk being
// converted (rows before `split` numbered by worker 0's table, the others by worker 1's), and one
// str per distinct text of each table made so far.
struct ObjectText {
    nb::object array;
    PyObject **slots = nullptr;
    orvane::core::DistinctTexts distinct[2];
    std::vector<uint32_t> codes;       // the current chunk's rows, from its first
    std::vector<nb::object> strs[2];   // strs[worker][code]
    std::vector<Py_ssize_t> uses[2];   // the chunk's rows of each str, while filling
    Py_ssize_t nans = 0, nones = 0;    // the chunk's missing cells; the None slots written over
    std::vector<PyObject *> replaced;  // other objects written over, their references to give back

    // Rows [first, last) of the chunk into the array's slots (str, NaN where missing), in three
    // steps: under the GIL, a str for each text new to the tables; without it, the slots written
    // and the references counted (the array is the reader's alone until its frame is made); under
    // the GIL again, the references added.
    void new_strs();
    void place(size_t first, size_t last, size_t split, PyObject *nan);
    void settle(nb::handle nan);
};

}  // namespace bucketio
